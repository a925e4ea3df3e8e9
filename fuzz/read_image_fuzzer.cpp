// One image reader through the public entry points: the header, the whole
// picture in one of the four modes, and (JPEG) the reduced decode. Built
// once per format (QUADRIX_FUZZ_FORMAT); files of other formats are passed
// over, so that each target's corpus stays its reader's.
//
// Besides crashes and sanitizer reports, a reader fails the run when it
// throws anything but ImageFileError, decodes a picture its header put above
// the pixel limit, or gives a picture whose size or type is not what its
// header and mode promise.

#include <algorithm>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"

namespace {

using namespace quadrix;
using fuzz::Expect;

constexpr ImageFormat kFormat = ImageFormat::QUADRIX_FUZZ_FORMAT;
constexpr ImageMode kModes[] = {ImageMode::kColour, ImageMode::kGrey, ImageMode::kColourAlpha,
                                ImageMode::kDeep};
// Far below the working copy's side the programs ask a big photo for, so
// that the corpus's small files are decoded at reduced DCT scales too.
constexpr int kReducedSide = 6;

void ExpectPicture(const cv::Mat& image, ImageMode mode, const ImageInfo& info) {
  Expect(!image.empty() && image.cols == info.width && image.rows == info.height,
         "the picture has its header's size");
  switch (mode) {
    case ImageMode::kColour:
      Expect(image.type() == CV_8UC3, "kColour gives CV_8UC3");
      break;
    case ImageMode::kGrey:
      Expect(image.type() == CV_8UC1, "kGrey gives CV_8UC1");
      break;
    case ImageMode::kColourAlpha:
      Expect(image.type() == CV_8UC3 || image.type() == CV_8UC4, "kColourAlpha gives 8 bits");
      break;
    case ImageMode::kDeep:
      Expect(image.channels() == 3 || image.channels() == 4, "kDeep gives colour");
      Expect(image.depth() == CV_8U || (image.depth() == CV_16U && info.depth == 16),
             "kDeep gives 16 bits only from a 16-bit file");
      break;
  }
}

// The reduced decode of a JPEG: no larger than the picture, and still at
// least the side asked for.
void ExpectReduced(const std::string& path, ImageMode mode, const ImageInfo& full) {
  ImageInfo info;
  cv::Mat reduced;
  try {
    reduced = ReadImageReduced(path, mode, fuzz::kMaxPixels, kReducedSide, &info);
  } catch (const ImageFileError&) {
    // The whole picture was read: only a reader with state could now fail.
    Expect(false, "a JPEG read whole is read reduced too");
  }
  Expect(info.width == full.width && info.height == full.height,
         "the reduced read gives the full size");
  Expect(reduced.cols <= full.width && reduced.rows <= full.height, "reduced is not larger");
  Expect(std::max(reduced.cols, reduced.rows) >=
             std::min(kReducedSide, std::max(full.width, full.height)),
         "reduced keeps the side asked for");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (fuzz::FormatOfBytes(data, size) != kFormat) return -1;  // not kept in the corpus
  static fuzz::MemoryFile file;
  file.Fill(data, size);

  bool headerRead = false;
  ImageInfo header;
  try {
    header = ReadImageInfo(file.path());
    headerRead = true;
    Expect(header.format == kFormat, "the header names the format");
  } catch (const ImageFileError&) {
  }

  // The size picks the mode, so that the input's bytes stay the reader's.
  const ImageMode mode = kModes[size % std::size(kModes)];
  ImageInfo info;
  cv::Mat image;
  try {
    image = ReadImageFile(file.path(), mode, fuzz::kMaxPixels, &info);
  } catch (const ImageTooLarge& e) {
    Expect(e.info().Pixels() > fuzz::kMaxPixels, "refused as too large only above the limit");
    return 0;
  } catch (const ImageFileError&) {
    return 0;
  }
  Expect(headerRead, "a picture that decodes has a header that reads");
  Expect(header.width == info.width && header.height == info.height,
         "the header alone tells the size");
  Expect(info.Pixels() <= fuzz::kMaxPixels, "nothing above the limit is decoded");
  ExpectPicture(image, mode, info);
  if (kFormat == ImageFormat::kJpeg) ExpectReduced(file.path(), mode, info);
  return 0;
}
