#include "shell/photoload.hpp"

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <system_error>

#include "core/outputs.hpp"
#include "interop_gl/renderer.hpp"

namespace quadrix {

namespace {

namespace fs = std::filesystem;

std::string SizeText(cv::Size size) {
  return std::to_string(size.width) + " x " + std::to_string(size.height);
}

cv::Mat ReadImage(const std::string& path, int flags) {
  // Spares the image library's own warning about a file that is not there.
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return {};
  try {
    return cv::imread(path, flags);
  } catch (const cv::Exception&) {
    return {};
  }
}

}  // namespace

std::unique_ptr<LoadedPhoto> LoadPhoto(const PhotoRequest& request, ResizeHost host,
                                       const std::function<void(LoadStep, cv::Size)>& step,
                                       const std::function<bool()>& cancelled) {
  const std::string& srcPath = request.srcPath;
  const std::string& salPath = request.salPath;
  step(LoadStep::kReading, {});
  cv::Mat src = ReadImage(srcPath, cv::IMREAD_COLOR);
  if (src.empty())
    throw PhotoError("Cannot read the photo '" + srcPath + "': " + DescribeUnreadable(srcPath) +
                     ".");
  // What the host would stop the process on, or the display cannot take, is
  // checked here so that it ends in a message.
  const cv::Size aligned = AlignedSize(src.size(), host.quadSize);
  if (aligned.area() <= 0)
    throw PhotoError("The photo '" + srcPath + "' of " + SizeText(src.size()) +
                     " pixels is too small: each side must be at least " +
                     std::to_string(host.quadSize / 2) + " pixels.");
  if (!salPath.empty()) {
    const cv::Mat sal = ReadImage(salPath, cv::IMREAD_GRAYSCALE);
    if (sal.empty())
      throw PhotoError("Cannot read the importance image '" + salPath +
                       "': " + DescribeUnreadable(salPath) + ".");
    if (AlignedSize(sal.size(), host.quadSize) != aligned)
      throw PhotoError("The importance image '" + salPath + "' of " + SizeText(sal.size()) +
                       " pixels does not fit the photo '" + srcPath + "' of " +
                       SizeText(src.size()) + " pixels.");
  }
  const int maxSide = request.maxTextureSide;
  if (maxSide > 0 && (aligned.width > maxSide || aligned.height > maxSide))
    throw PhotoError("The photo '" + srcPath + "' of " + SizeText(src.size()) +
                     " pixels is larger than the display can draw (" + std::to_string(maxSide) +
                     " pixels a side).");
  if (cancelled()) return nullptr;

  step(LoadStep::kImportance, aligned);
  host.imgSrc = src;
  src.release();
  if (!host.LoadImage(salPath.empty() ? nullptr : salPath.c_str()))
    throw PhotoError("Cannot load '" + (salPath.empty() ? srcPath : salPath) + "'.");
  if (cancelled()) return nullptr;

  step(LoadStep::kLines, aligned);
  host.energyObserver = [&](const TripletMatrix&) { step(LoadStep::kFactoring, aligned); };
  host.BuildEquationA();
  host.energyObserver = nullptr;
  if (cancelled()) return nullptr;

  // The first size of an image may cost a cold solve under the guard.
  step(LoadStep::kSolving, aligned);
  host.Resize(host.srcWidth, host.srcHeight);
  if (cancelled()) return nullptr;

  step(LoadStep::kTexels, aligned);
  std::vector<float> colour = BuildImageTexels(host.imgSrc);
  std::vector<float> importance = BuildImageTexels(host.imgSal);
  ImportancePainter painter(host.imgSal.clone());
  if (cancelled()) return nullptr;
  return std::make_unique<LoadedPhoto>(srcPath, std::move(host), std::move(colour),
                                       std::move(importance), std::move(painter));
}

}  // namespace quadrix
