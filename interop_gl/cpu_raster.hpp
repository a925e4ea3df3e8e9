#pragma once
// The mesh picture drawn on the processor: the same inputs and output as the
// off-screen renderer, and the same conventions (pixel centres at +0.5,
// the shader's resampling filter for the colour image or bilinear sampling
// of texel centres, clamped edges, triangles in index order, 1-pixel red grid
// lines on top). Reference for the GPU picture and
// stand-in when no OpenGL context can be made.

#include <array>
#include <opencv2/core.hpp>
#include <span>
#include <vector>

namespace quadrix {

class CpuRasterizer {
 public:
  // colour: CV_8UC3 BGR; importance: CV_32FC1; both converted by the
  // texture rules. Their sizes may differ: the grid spans each whole.
  void SetImages(const cv::Mat& colour, const cv::Mat& importance);

  // The colour image drawn with the resampling filter (default) or, when
  // off, bilinear as before. The importance image is always bilinear.
  void SetFiltered(bool on) { filtered_ = on; }

  // `xy` holds vx * vy (x, y) pairs in vertex order, in pixels of `target`.
  // textureIndex 0 draws the colour image, 1 the importance image. Returns
  // CV_8UC3 BGR of exactly `target`, top row first, white where no triangle
  // lies.
  cv::Mat Render(int vx, int vy, std::span<const float> xy, cv::Size target, bool showGrid,
                 int textureIndex) const;

 private:
  std::array<cv::Mat, 2> textures_;  // CV_32FC4 RGBA, top row first
  std::vector<cv::Mat> levels_;      // the colour texture and its mip levels
  bool filtered_ = true;
};

}  // namespace quadrix
