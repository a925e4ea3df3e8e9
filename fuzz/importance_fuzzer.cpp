// The importance map's loader: ReadInputs with a fixed, valid source and the
// input as the importance image, as `--importance FILE` and the window's
// Load Importance read it. It fails the run when anything but InputError
// escapes, when a valid source is called too small or unreadable, or when a
// map that is given back is not grey or does not fit the source in whole
// quads.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/inputs.hpp"
#include "core/resize_host.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using namespace quadrix;
using fuzz::Expect;

// Four by three quads of 16 pixels. The seed corpus's maps are made for it.
constexpr int kQuadSize = 16;
const cv::Size kSourceSize(64, 48);
// A working copy half the source's side: maps of its size fit too.
constexpr int kWorkSide = 32;

const fuzz::MemoryFile& Source() {
  static const std::unique_ptr<fuzz::MemoryFile> source = [] {
    cv::Mat photo(kSourceSize, CV_8UC3);
    cv::randu(photo, 0, 256);
    const std::vector<unsigned char> png = EncodeImage(photo, ImageFormat::kPng);
    auto file = std::make_unique<fuzz::MemoryFile>();
    file->Fill(png.data(), png.size());
    return file;
  }();
  return *source;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  static fuzz::MemoryFile importance;
  importance.Fill(data, size);
  // The size picks whether a working copy is in play.
  const int workSide = size % 2 == 0 ? 0 : kWorkSide;
  InputImages in;
  try {
    in = ReadInputs(Source().path(), importance.path(), kQuadSize, fuzz::kMaxPixels, workSide);
  } catch (const InputError& e) {
    Expect(e.cause() != InputError::Cause::kTooSmall, "the source is large enough");
    Expect(std::string(e.what()).find(importance.path()) != std::string::npos,
           "the message names the importance image");
    return 0;
  }
  Expect(in.source.size() == kSourceSize, "the source reads");
  Expect(in.importance.type() == CV_8UC1, "the map is grey");
  const cv::Size map = AlignedSize(in.importance.size(), kQuadSize);
  Expect(map == AlignedSize(kSourceSize, kQuadSize) ||
             (workSide > 0 && map == AlignedSize(WorkingSize(kSourceSize, workSide), kQuadSize)),
         "the map fits the source in whole quads");
  return 0;
}
