#include "core/inputs.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgproc.hpp>

#include "base/check.hpp"
#include "base/environment.hpp"
#include "imageio/image_file.hpp"

namespace quadrix {

namespace {

std::string SizeText(cv::Size s) {
  return std::to_string(s.width) + " x " + std::to_string(s.height) + " pixels";
}

cv::Mat Read(const std::string& path, const char* what, ImageMode mode, std::int64_t maxPixels,
             int reducedSide = 0, ImageInfo* info = nullptr) {
  try {
    if (reducedSide > 0) return ReadImageReduced(path, mode, maxPixels, reducedSide, info);
    return ReadImageFile(path, mode, maxPixels, info);
  } catch (const ImageTooLarge& e) {
    throw InputError(InputError::Cause::kTooLarge,
                     std::string("the ") + what + " '" + path + "' is too large: " + e.what());
  } catch (const ImageFileError& e) {
    throw InputError(InputError::Cause::kUnreadable,
                     std::string("cannot read the ") + what + " '" + path + "': " + e.what());
  }
}

// The importance image of `in`, when it names one, checked against a photo
// of `photoSize` pixels.
void ReadImportance(InputImages& in, cv::Size photoSize, int quadSize, std::int64_t maxPixels,
                    int workSide) {
  if (in.salPath.empty()) return;
  in.importance = Read(in.salPath, "importance image", ImageMode::kGrey, maxPixels);
  CheckImportanceFits(in.srcPath, photoSize, in.salPath, in.importance.size(), quadSize, workSide);
}

// A photo read with its transparency: the colour composited on white for
// the analysis, the alpha set apart. A photo whose every pixel is opaque
// keeps no alpha.
void SplitAlpha(cv::Mat& source, cv::Mat& alpha) {
  alpha.release();
  if (source.channels() != 4) return;
  cv::Mat a;
  cv::extractChannel(source, a, 3);
  double lowest = 255.0;
  cv::minMaxLoc(a, &lowest);
  if (lowest < 255.0) {
    alpha = a;
    source = CompositeOn(source, cv::Scalar::all(255));
  } else {
    cv::cvtColor(source, source, cv::COLOR_BGRA2BGR);
  }
}

// The high byte of every 16-bit sample (a rounding conversion would differ
// from the readers by one level in half the pixels).
cv::Mat HighBytes(const cv::Mat& deep) {
  cv::Mat out(deep.size(), CV_MAKETYPE(CV_8U, deep.channels()));
  const int n = deep.cols * deep.channels();
  for (int y = 0; y < deep.rows; ++y) {
    const std::uint16_t* in = deep.ptr<std::uint16_t>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < n; ++x) o[x] = static_cast<uchar>(in[x] >> 8);
  }
  return out;
}

}  // namespace

cv::Mat CompositeOn(const cv::Mat& bgra, cv::Scalar background) {
  CV_Assert(bgra.type() == CV_8UC4);
  cv::Mat out(bgra.size(), CV_8UC3);
  const int bg[3] = {cv::saturate_cast<uchar>(background[0]),
                     cv::saturate_cast<uchar>(background[1]),
                     cv::saturate_cast<uchar>(background[2])};
  for (int y = 0; y < bgra.rows; ++y) {
    const uchar* in = bgra.ptr<uchar>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < bgra.cols; ++x, in += 4, o += 3) {
      const int a = in[3];
      for (int c = 0; c < 3; ++c)
        o[c] = static_cast<uchar>((in[c] * a + bg[c] * (255 - a) + 127) / 255);
    }
  }
  return out;
}

std::optional<std::int64_t> ParseMaxPixels(const std::string& text) {
  if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const std::int64_t v = std::stoll(text);
  if (v < 1) return std::nullopt;
  return v;
}

std::int64_t MaxPixelsFromEnvironment() {
  return SettingFromEnvironment(kEnvMaxPixels, kDefaultMaxPixels, ParseMaxPixels,
                                "expected a whole number of pixels from 1 up");
}

cv::Size AlignedSize(cv::Size size, int quadSize) {
  const auto side = [quadSize](int v) {
    return static_cast<int>(v / static_cast<double>(quadSize) + 0.5) * quadSize;
  };
  return {side(size.width), side(size.height)};
}

void CheckSourceSize(const std::string& srcPath, cv::Size size, int quadSize) {
  if (AlignedSize(size, quadSize).area() > 0) return;
  throw InputError(InputError::Cause::kTooSmall, "the source image '" + srcPath + "' of " +
                                                     SizeText(size) +
                                                     " is too small: each side must be at least " +
                                                     std::to_string(quadSize / 2) + " pixels");
}

std::optional<int> ParseWorkSide(const std::string& text) {
  if (text == "none") return 0;
  const std::optional<std::int64_t> side = ParseMaxPixels(text);
  if (!side || *side < 100 || *side > 100000) return std::nullopt;
  return static_cast<int>(*side);
}

int WorkSideFromEnvironment() {
  return SettingFromEnvironment(kEnvWorkSize, kDefaultWorkSide, ParseWorkSide,
                                "expected a longest side in pixels from 100 to 100000, or none");
}

cv::Size WorkingSize(cv::Size photo, int workSide) {
  const int longSide = std::max(photo.width, photo.height);
  if (workSide <= 0 || longSide <= workSide) return photo;
  const double s = static_cast<double>(workSide) / longSide;
  return {std::max(1, static_cast<int>(std::lround(photo.width * s))),
          std::max(1, static_cast<int>(std::lround(photo.height * s)))};
}

void CheckImportanceFits(const std::string& srcPath, cv::Size srcSize, const std::string& salPath,
                         cv::Size salSize, int quadSize, int workSide) {
  const cv::Size src = AlignedSize(srcSize, quadSize);
  const cv::Size sal = AlignedSize(salSize, quadSize);
  if (src == sal) return;
  // A map written at the working size (--importance-out) fits too.
  if (workSide > 0 && sal == AlignedSize(WorkingSize(srcSize, workSide), quadSize)) return;
  throw InputError(InputError::Cause::kImportanceMismatch,
                   "the importance image '" + salPath + "' of " + SizeText(salSize) +
                       " does not fit the source image '" + srcPath + "' of " + SizeText(srcSize) +
                       " (in whole quads they are " + std::to_string(sal.width) + "x" +
                       std::to_string(sal.height) + " and " + std::to_string(src.width) + "x" +
                       std::to_string(src.height) + ")");
}

InputImages ReadInputs(const std::string& srcPath, const std::string& salPath, int quadSize,
                       std::int64_t maxPixels, int workSide) {
  InputImages in;
  in.srcPath = srcPath;
  in.salPath = salPath;
  ImageInfo info;
  in.source = Read(srcPath, "source image", ImageMode::kColourAlpha, maxPixels, 0, &info);
  in.deep = info.depth == 16;
  SplitAlpha(in.source, in.alpha);
  CheckSourceSize(srcPath, in.source.size(), quadSize);
  // A source too small for a computed importance map is no error: the host
  // gives it a flat map and says so (ResizeHost::notice).
  ReadImportance(in, in.source.size(), quadSize, maxPixels, workSide);
  return in;
}

InputImages ReadWorkingInputs(const std::string& srcPath, const std::string& salPath, int quadSize,
                              std::int64_t maxPixels, int workSide) {
  InputImages in;
  in.srcPath = srcPath;
  in.salPath = salPath;
  ImageInfo info;
  // Decoded at no less than twice the working side: a copy reduced further
  // by the DCT alone is softer, enough to move the mesh by a few percent.
  cv::Mat decoded =
      Read(srcPath, "source image", ImageMode::kColourAlpha, maxPixels, 2 * workSide, &info);
  in.photoSize = cv::Size(info.width, info.height);
  in.deep = info.depth == 16;
  CheckSourceSize(srcPath, in.photoSize, quadSize);
  const cv::Size work = WorkingSize(in.photoSize, workSide);
  SplitAlpha(decoded, in.alpha);
  in.source = decoded;
  if (decoded.size() != work) {
    cv::resize(decoded, in.source, work, 0, 0, cv::INTER_AREA);
    if (!in.alpha.empty()) cv::resize(in.alpha, in.alpha, work, 0, 0, cv::INTER_AREA);
  }
  ReadImportance(in, in.photoSize, quadSize, maxPixels, workSide);
  return in;
}

InputImages InputsFromPixels(const cv::Mat& photo, const std::string& photoName,
                             const cv::Mat& importance8U, const std::string& importanceName,
                             int quadSize, std::int64_t maxPixels) {
  QX_CHECK((photo.depth() == CV_8U || photo.depth() == CV_16U) &&
           (photo.channels() == 3 || photo.channels() == 4));
  QX_CHECK(importance8U.empty() || importance8U.type() == CV_8UC1);
  const auto limit = [&](const std::string& name, const cv::Mat& m, const char* what) {
    ImageInfo info;
    info.width = m.cols;
    info.height = m.rows;
    if (info.Pixels() > maxPixels)
      throw InputError(InputError::Cause::kTooLarge,
                       std::string("the ") + what + " '" + name +
                           "' is too large: " + ImageTooLarge(info, maxPixels).what());
  };
  limit(photoName, photo, "source image");
  InputImages in;
  in.srcPath = photoName;
  in.deep = photo.depth() == CV_16U;
  // The analysis reads 8 bits, as the readers give a 16-bit file: the high
  // bytes.
  in.source = in.deep ? HighBytes(photo) : photo;
  SplitAlpha(in.source, in.alpha);
  CheckSourceSize(photoName, in.source.size(), quadSize);
  if (!importance8U.empty()) {
    in.salPath = importanceName;
    limit(importanceName, importance8U, "importance image");
    in.importance = importance8U;
    CheckImportanceFits(photoName, photo.size(), importanceName, importance8U.size(), quadSize);
  }
  return in;
}

cv::Mat ReadPhoto(const InputImages& inputs, std::int64_t maxPixels) {
  cv::Mat photo =
      Read(inputs.srcPath, "source image",
           inputs.deep ? ImageMode::kDeep
                       : (inputs.alpha.empty() ? ImageMode::kColour : ImageMode::kColourAlpha),
           maxPixels);
  if (photo.size() != (inputs.photoSize.empty() ? inputs.source.size() : inputs.photoSize))
    throw InputError(InputError::Cause::kUnreadable,
                     "the source image '" + inputs.srcPath + "' changed while it was resized");
  return photo;
}

}  // namespace quadrix
