// The metadata path: what ReadPhotoMetadata takes from a source file, then
// written into a small picture of each format that carries metadata, as an
// output is. Reading never throws; writing throws only ImageFileError; and
// a picture with the metadata written in reads back with the pixels it had.

#include <array>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "imageio/metadata.hpp"

namespace {

using namespace quadrix;
using fuzz::Expect;

// A picture as the programs write it, with what the readers make of it.
struct Output {
  cv::Mat image;                     // what was written
  std::vector<unsigned char> bytes;  // the file
  cv::Mat read;                      // the file read back
};

cv::Mat ReadBack(fuzz::MemoryFile& file, const std::vector<unsigned char>& bytes) {
  file.Fill(bytes.data(), bytes.size());
  return ReadImageFile(file.path(), ImageMode::kColourAlpha, fuzz::kMaxPixels);
}

// Colour and grey in JPEG, PNG, TIFF and WebP: the formats metadata goes
// into, and both ICC colour spaces.
const std::array<Output, 8>& Outputs(fuzz::MemoryFile& file) {
  static const std::array<Output, 8> outputs = [&] {
    std::array<Output, 8> o;
    const ImageFormat formats[] = {ImageFormat::kJpeg, ImageFormat::kPng, ImageFormat::kTiff,
                                   ImageFormat::kWebp};
    cv::Mat colour(12, 10, CV_8UC3);
    cv::randu(colour, 0, 256);
    cv::Mat grey(12, 10, CV_8UC1);
    cv::randu(grey, 0, 256);
    for (size_t k = 0; k < o.size(); ++k) {
      o[k].image = k % 2 == 0 ? colour : grey;
      o[k].bytes = EncodeImage(o[k].image, formats[k / 2]);
      o[k].read = ReadBack(file, o[k].bytes);
    }
    return o;
  }();
  return outputs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  static fuzz::MemoryFile file;
  const PhotoMetadata meta = ReadPhotoMetadata(data, size);
  if (meta.empty()) return 0;
  // The size picks the output, so that the input's bytes stay the source's.
  const Output& out = Outputs(file)[size % 8];
  std::vector<unsigned char> bytes = out.bytes;
  try {
    WritePhotoMetadata(bytes, meta, out.image);
  } catch (const ImageFileError&) {
    return 0;
  }
  cv::Mat read;
  try {
    read = ReadBack(file, bytes);
  } catch (const ImageFileError&) {
    Expect(false, "a picture with metadata written in still reads");
  }
  Expect(read.size() == out.read.size() && read.type() == out.read.type() &&
             cv::norm(read, out.read, cv::NORM_INF) == 0,
         "writing metadata leaves the pixels as they were");
  ReadPhotoMetadata(bytes.data(), bytes.size());
  return 0;
}
