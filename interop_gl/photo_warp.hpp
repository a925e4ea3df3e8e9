#pragma once
// A photo drawn through the mesh on the processor, read straight from its
// 8-bit pixels: no float or RGBA copy, mip levels only as deep as the mesh
// needs, rows in bands on every core. The filter is the mesh shader's
// (Catmull-Rom when magnifying, Keys' cubic widened to the footprint when
// minifying); pixels no triangle covers are white. Both programs draw the
// colour pictures they write with it: an OpenGL context, a texture upload
// and a float copy cost more than the warp itself, and no texture limit
// applies.

#include <opencv2/core.hpp>
#include <span>
#include <vector>

namespace quadrix {

class PhotoWarper {
 public:
  // photo: CV_8UC3 BGR or CV_8UC4 BGRA with straight alpha (or the same at
  // 16 bits), any size; shared, not copied. A BGRA photo is drawn from a
  // premultiplied copy, or, when the warper holds its pixels alone (moved
  // in), premultiplied in place: a big photo's copy costs gigabytes.
  explicit PhotoWarper(cv::Mat photo);

  // xy: vx * vy (x, y) pairs in vertex order (row by row), target pixels of
  // the vertices of a grid that spans the photo evenly at rest; vx, vy >= 2.
  // Returns a picture of the photo's type (straight alpha) of exactly
  // `target`, top row first; where no triangle lies it is white, or
  // transparent in a BGRA picture.
  cv::Mat Render(int vx, int vy, std::span<const float> xy, cv::Size target);

 private:
  // Mip levels 1 and on, made when a triangle first needs them.
  const cv::Mat& Level(int level);

  cv::Mat photo_;
  std::vector<cv::Mat> levels_;  // levels_[0] is photo_
};

// Draws with the baseline samplers even where AVX2 and FMA are there (for
// tests that compare the two).
void UseBaselineWarpForTesting(bool baseline);

}  // namespace quadrix
