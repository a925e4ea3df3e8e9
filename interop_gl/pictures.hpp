#pragma once
// Pictures of the warped mesh for the command line: drawn off screen with
// OpenGL, or on the processor when no OpenGL context can be made.

#include <memory>
#include <opencv2/core.hpp>
#include <span>
#include <stdexcept>
#include <string>

#include "base/errors.hpp"

namespace quadrix {

class OffscreenRenderer;
class CpuRasterizer;

// The effect file is missing or does not compile: nothing can be drawn.
class EffectError : public Error {
 public:
  explicit EffectError(const std::string& message) : Error(ErrorKind::kEffect, message) {}
};

class PictureMaker {
 public:
  // colour: CV_8UC3; importance: CV_32FC1; the grid spans each whole. Throws
  // EffectError naming the effect file when it cannot be used. Set
  // QUADRIX_NO_OPENGL in the environment to draw on the processor.
  PictureMaker(const cv::Mat& colour, const cv::Mat& importance);
  ~PictureMaker();

  // Another photo for the same context (one maker draws a batch's photos).
  void SetImages(const cv::Mat& colour, const cv::Mat& importance);

  // The colour image drawn with the resampling filter (default, sharp) or,
  // when off, bilinear as before; on both paths.
  void SetFiltered(bool on);

  // xy: vx * vy (x, y) pairs in vertex order, pixels of `size`.
  cv::Mat Render(int vx, int vy, std::span<const float> xy, cv::Size size, bool showGrid,
                 int textureIndex);

 private:
  std::unique_ptr<OffscreenRenderer> gl_;
  std::unique_ptr<CpuRasterizer> cpu_;
  cv::Mat colour_, importance_;
  bool glHasImages_ = false;
  bool filtered_ = true;
};

}  // namespace quadrix
