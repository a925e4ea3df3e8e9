#pragma once
// Loading a photo for the window, meant to run off the GUI thread: read and
// check the files, load or compute the importance map, detect lines, build
// and factor the energy, solve once at the source size and lay out the
// texels of both textures. Only the upload of the textures is left to the
// thread that owns the OpenGL context. Nothing here needs the toolkit.

#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "core/importance_paint.hpp"
#include "core/resize_host.hpp"

namespace quadrix {

struct PhotoRequest {
  std::string srcPath;
  std::string salPath;     // empty: the importance map is computed
  int maxTextureSide = 0;  // the display's largest texture; 0: no limit
};

// The steps of a load, in the order they begin.
enum class LoadStep { kReading, kImportance, kLines, kFactoring, kSolving, kTexels };

// The longest side of the colour texture the window draws: a bigger photo
// is shown from a copy reduced to it (saving draws from the photo itself).
// More would not show on a screen, and costs seconds to lay out and upload.
inline constexpr int kViewSide = 2000;
// The longest side of the preview shown while a photo loads.
inline constexpr int kPreviewSide = 1280;

struct LoadedPhoto {
  std::string srcPath;
  ResizeHost host;  // loaded, built, and solved at its (aligned) source size
  // BuildImageTexels of host.DrawImage() (or of its copy reduced to
  // kViewSide, of colourSize) and of host.imgSal().
  cv::Size colourSize;
  std::vector<float> colourTexels;
  std::vector<float> importanceTexels;
  // Painting starts from the map as loaded or computed.
  ImportancePainter painter;
};

// A file that cannot be used; the message names it and says why.
class PhotoError : public Error {
 public:
  explicit PhotoError(const std::string& message) : Error(ErrorKind::kInput, message) {}
};

// Loads into `host` (made by the caller, so that an outside engine is opened
// on the caller's thread, from the window's settings). `step` is
// told each step as it begins, with the aligned source size once it is
// known; `cancelled` is polled between steps, and a cancelled load returns
// null. Throws PhotoError for a file that cannot be used, EngineError when
// the numeric engine fails. `preview`, when given, receives the photo (at
// most kPreviewSide a side, CV_8UC3) as soon as it is read and checked, to
// be shown plainly scaled while the rest of the load runs.
std::unique_ptr<LoadedPhoto> LoadPhoto(const PhotoRequest& request, ResizeHost host,
                                       const std::function<void(LoadStep, cv::Size)>& step,
                                       const std::function<bool()>& cancelled,
                                       const std::function<void(const cv::Mat&)>& preview = {});

}  // namespace quadrix
