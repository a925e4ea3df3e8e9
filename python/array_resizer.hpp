#pragma once
// One photo given as pixels in memory (the Python module's arrays), factored
// once and solved and drawn at any size, as quadrix-cli resizes a file:
// the same settings, load, energy and drawing, without reading or writing.

#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "core/resize_host.hpp"
#include "engine/engine.hpp"

namespace quadrix {

class ArrayResizer {
 public:
  // rgb: H x W pixels, CV_8UC3 or CV_16UC3 red-green-blue, or CV_8UC4 or
  // CV_16UC4 with straight alpha; shared, not copied, so it must not change
  // while this resizer lives (the caller copies it when it cannot promise
  // that). importance8U: CV_8UC1 whose size aligns to the photo's in whole
  // quads (grey 250 = 1.0), or empty to compute the map. `o`: the options
  // from ParseResizeOptions. Throws InputError for images the core cannot
  // work with, EngineError, and what the analysis throws.
  ArrayResizer(const cv::Mat& rgb, const cv::Mat& importance8U, const CliOptions& o);
  ~ArrayResizer();
  ArrayResizer(const ArrayResizer&) = delete;
  ArrayResizer& operator=(const ArrayResizer&) = delete;

  // Grid vertices across and down.
  int verticesX() const { return vx_; }
  int verticesY() const { return vy_; }
  // The size the rest grid spans (the photo's own with the default sharp
  // picture, else the aligned one).
  cv::Size restSize() const { return host_.RestSize(); }
  // What the load or the factor chose for the user to know about (a flat
  // map for a small photo, faces not sought, uniform scaling), one line
  // each, without the photo's name.
  const std::vector<std::string>& notices() const { return notices_; }

  // The grid's vertices solved for `size` (each side 1 to kMaxTargetSide):
  // vx * vy (x, y) pairs of target pixels, row by row, as the first rows of
  // quadrix-cli --mesh. Calls on one resizer from several threads take turns.
  std::vector<float> Mesh(cv::Size size);
  // The picture at exactly `size`, as quadrix-cli -o draws it: of the
  // photo's type and channel order (straight alpha) when drawn from the
  // photo; CV_8UC3 red-green-blue with o.grid, o.showImportance or without
  // o.parts.sharp (drawn through OpenGL off screen, or on the processor).
  cv::Mat Render(cv::Size size);

 private:
  // The vertices to draw for `size`: the solved ones, or the even grid
  // with o.uniform.
  std::vector<float> DrawnVertices(cv::Size size);

  CliOptions options_;
  cv::Mat photo_;  // as given, for drawing
  EngineConnection connection_;
  ResizeHost host_;
  int vx_ = 0;
  int vy_ = 0;
  std::vector<std::string> notices_;
  std::mutex mutex_;
};

}  // namespace quadrix
