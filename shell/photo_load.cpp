#include "shell/photo_load.hpp"

#include <algorithm>
#include <cctype>
#include <opencv2/imgproc.hpp>

#include "core/inputs.hpp"
#include "core/memory_budget.hpp"
#include "interop_gl/renderer.hpp"

namespace quadrix {

namespace {

std::string SizeText(cv::Size size) {
  return std::to_string(size.width) + " x " + std::to_string(size.height);
}

// A message of the core as a sentence of the box.
std::string Sentence(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text + ".";
}

// What loading `path` into the window is expected to take; 0 when its
// header cannot be read or is above the pixel limit (the read says why).
std::int64_t WindowPeakBytes(const std::string& path, const ResizeSettings& settings) {
  if (settings.maxMemory <= 0) return 0;
  std::optional<MemoryUse> use = MemoryUseOf(path, settings.maxPixels, settings.WorkSide());
  if (!use) return 0;
  use->window = true;
  return EstimatePeakBytes(*use);
}

}  // namespace

std::unique_ptr<LoadedPhoto> LoadPhoto(const PhotoRequest& request, ResizeHost host,
                                       const std::function<void(LoadStep, cv::Size)>& step,
                                       const std::function<bool()>& cancelled,
                                       const std::function<void(const cv::Mat&)>& preview) {
  const std::string& srcPath = request.srcPath;
  const std::string& salPath = request.salPath;
  step(LoadStep::kReading, {});
  // The core's checks of the files (readable, within the pixel limit, whole
  // quads, an importance image that fits), then what the display cannot
  // take, so that all of it ends in a message.
  InputImages inputs;
  try {
    CheckMemoryLimit(srcPath, WindowPeakBytes(srcPath, host.settings()), host.settings().maxMemory);
    inputs = ReadInputs(srcPath, salPath, host.settings().quadSize, host.settings().maxPixels,
                        host.settings().WorkSide());
  } catch (const InputError& e) {
    std::string why = Sentence(e.what());
    if (e.cause() == InputError::Cause::kTooLarge)
      why += " The limit is set by the environment variable QUADRIX_MAX_PIXELS.";
    throw PhotoError(why);
  } catch (const MemoryLimitError& e) {
    throw PhotoError("The photo " + std::string(e.what()) +
                     ". The limit is set by the environment variable QUADRIX_MAX_MEMORY.");
  }
  const cv::Size aligned = AlignedSize(inputs.source.size(), host.settings().quadSize);
  // The textures: the importance map at the (aligned) working size, the
  // colour image at most kViewSide a side.
  const cv::Size map = AlignedSize(WorkingSize(inputs.source.size(), host.settings().WorkSide()),
                                   host.settings().quadSize);
  const cv::Size view = WorkingSize(inputs.source.size(), kViewSide);
  const int maxSide = request.maxTextureSide;
  if (maxSide > 0 && std::max({map.width, map.height, view.width, view.height}) > maxSide)
    throw PhotoError("The photo '" + srcPath + "' of " + SizeText(inputs.source.size()) +
                     " pixels is larger than the display can draw (" + std::to_string(maxSide) +
                     " pixels a side).");
  if (cancelled()) return nullptr;
  // The colour texture's pixels; a smaller copy of them is shown at once,
  // drawn by the toolkit on the window's own thread.
  cv::Mat shown = inputs.source;
  if (view != shown.size()) cv::resize(inputs.source, shown, view, 0, 0, cv::INTER_AREA);
  if (preview) {
    cv::Mat small = shown;
    const cv::Size fit = WorkingSize(shown.size(), kPreviewSide);
    if (fit != shown.size()) cv::resize(shown, small, fit, 0, 0, cv::INTER_AREA);
    preview(small);
  }

  step(LoadStep::kImportance, aligned);
  try {
    host.Load(inputs);
  } catch (const InputError& e) {
    throw PhotoError(Sentence(e.what()));
  }
  if (cancelled()) return nullptr;

  step(LoadStep::kLines, aligned);
  host.SetEnergyObserver([&](const TripletMatrix&) { step(LoadStep::kFactoring, aligned); });
  host.BuildEquationA();
  host.SetEnergyObserver(nullptr);
  // Both energies now, while the preview shows: else the first drag waits.
  host.PrepareEnergies();
  if (cancelled()) return nullptr;

  // The first size of an image may cost a cold solve under the guard.
  step(LoadStep::kSolving, aligned);
  host.Resize(host.RestSize().width, host.RestSize().height);
  if (cancelled()) return nullptr;

  step(LoadStep::kTexels, aligned);
  // Without the exact grid the aligned copy is drawn.
  if (!host.settings().parts.sharp) shown = host.DrawImage();
  const cv::Size colourSize = shown.size();
  std::vector<float> colour = BuildImageTexels(shown);
  shown.release();
  std::vector<float> importance = BuildImageTexels(host.imgSal());
  ImportancePainter painter(host.imgSal().clone());
  if (cancelled()) return nullptr;
  return std::make_unique<LoadedPhoto>(srcPath, std::move(host), colourSize, std::move(colour),
                                       std::move(importance), std::move(painter));
}

}  // namespace quadrix
