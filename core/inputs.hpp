#pragma once
// The checks both programs make on the images they are given, in one place:
// each file is readable and not above the pixel limit (refused from its
// header, before it is decoded), the source rounds to at least one whole
// quad each way, and an importance image fits the source. (A source too
// small for a computed importance map gets a flat one from the host, with
// a notice.)

#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/errors.hpp"

namespace quadrix {

// An image the core cannot work with. The message names the file and the
// cause; the kind lets a program add its own advice.
class InputError : public Error {
 public:
  enum class Cause {
    kUnreadable,          // missing, not an image, damaged, cut short
    kTooLarge,            // above the pixel limit
    kTooSmall,            // a side rounds to no quad
    kImportanceMismatch,  // the importance image does not fit the source
  };
  InputError(Cause cause, const std::string& message)
      : Error(ErrorKind::kInput, message), cause_(cause) {}
  Cause cause() const { return cause_; }

 private:
  Cause cause_;
};

// The largest picture, in pixels, that either program decodes: what half
// of an 8 GB machine holds at 12 bytes a pixel. Memory is bounded by its
// own limit besides.
inline constexpr std::int64_t kDefaultMaxPixels = 350000000;

// A whole number of pixels from 1 up; nullopt for anything else.
std::optional<std::int64_t> ParseMaxPixels(const std::string& text);
// QUADRIX_MAX_PIXELS when set and not empty, else kDefaultMaxPixels. Throws
// std::invalid_argument naming the variable and its value when invalid.
std::int64_t MaxPixelsFromEnvironment();

// The images of one resize, read and checked.
struct InputImages {
  std::string srcPath;
  std::string salPath;  // empty: the importance map is computed
  cv::Mat source;       // CV_8UC3
  cv::Mat importance;   // CV_8UC1, empty when computed
  // From ReadWorkingInputs: the photo's size, `source` being its working
  // copy. Empty from ReadInputs.
  cv::Size photoSize;
  // A photo with transparency (not every pixel opaque): `source` is its
  // colour composited on white, `alpha` (CV_8UC1, the size of `source`) its
  // opacity, and ReadPhoto reads it with its alpha. Empty when opaque.
  cv::Mat alpha;
  // The photo holds 16 bits a channel: `source` has its high bytes, and
  // ReadPhoto reads it whole.
  bool deep = false;
};

// `bgra` (CV_8UC4, straight alpha) composited on `background` (blue,
// green, red): CV_8UC3.
cv::Mat CompositeOn(const cv::Mat& bgra, cv::Scalar background);

// The longest side of the working copy a big photo is analysed and solved
// on (ResizeSettings::workSide).
inline constexpr int kDefaultWorkSide = 1600;

// A working side as written: a whole number of pixels from 100 to 100000,
// or "none" (0: the photo's own size); nullopt for anything else.
std::optional<int> ParseWorkSide(const std::string& text);
// QUADRIX_WORK_SIZE when set and not empty, else kDefaultWorkSide. Throws
// std::invalid_argument naming the variable and its value when invalid.
int WorkSideFromEnvironment();

// The size of the working copy of a photo of `photo` pixels: reduced, with
// its aspect, to a longer side of `workSide` when it is longer; the photo's
// own size otherwise, or when workSide is 0.
cv::Size WorkingSize(cv::Size photo, int workSide);

// Reads the source (and the importance image when salPath is not empty)
// and makes every check below. Throws InputError. `workSide`: the working
// copy's longest side, or 0 when the photo is solved at its own size.
InputImages ReadInputs(const std::string& srcPath, const std::string& salPath, int quadSize,
                       std::int64_t maxPixels, int workSide = 0);

// The same for a photo longer than `workSide` (> 0), read as its working
// copy only (a big JPEG decoded at a reduced DCT scale), so that the photo
// is not held while it is analysed. Every check is made against the
// photo's own size.
InputImages ReadWorkingInputs(const std::string& srcPath, const std::string& salPath, int quadSize,
                              std::int64_t maxPixels, int workSide);

// The same checks on a photo given as pixels rather than a file (the Python
// module's arrays): `photo` CV_8UC3 or CV_16UC3 blue-green-red, or CV_8UC4
// or CV_16UC4 with straight alpha; `importance8U` CV_8UC1 or empty to
// compute the map. `photoName` and `importanceName` stand for the paths in
// the messages. The result holds the 8-bit colour (high bytes of 16-bit
// pixels) and the alpha as ReadInputs gives them, sharing `photo`'s pixels
// when it is CV_8UC3. Throws InputError (kTooLarge above maxPixels).
InputImages InputsFromPixels(const cv::Mat& photo, const std::string& photoName,
                             const cv::Mat& importance8U, const std::string& importanceName,
                             int quadSize, std::int64_t maxPixels);

// The photo of inputs from ReadWorkingInputs, decoded whole (CV_8UC3, or
// CV_8UC4 with straight alpha when inputs.alpha is set; 16 bits a channel
// when inputs.deep). Throws
// InputError, also when the file no longer has the size it had.
cv::Mat ReadPhoto(const InputImages& inputs, std::int64_t maxPixels);

// Size of an image after alignment to whole quads of quadSize (a multiple of
// 4): each side to the nearest multiple, halves upward.
cv::Size AlignedSize(cv::Size size, int quadSize);

// Every side rounds to at least one quad of quadSize.
void CheckSourceSize(const std::string& srcPath, cv::Size size, int quadSize);

// The importance image rounds to the same whole quads as the source, or
// as its working copy when workSide > 0.
void CheckImportanceFits(const std::string& srcPath, cv::Size srcSize, const std::string& salPath,
                         cv::Size salSize, int quadSize, int workSide = 0);

}  // namespace quadrix
