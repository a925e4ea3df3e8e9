#pragma once
// Every setting the resizing host reads, in one value with the program's
// defaults. The programs fill it in one place each: quadrix-cli from its
// options, the window from its menus, both over SettingsFromEnvironment.

#include <cstdint>

#include "core/inputs.hpp"
#include "core/mesh_guard.hpp"
#include "core/result_parts.hpp"

namespace quadrix {

struct ResizeSettings {
  // Quad side in pixels; the host rounds it up to a multiple of 4.
  int quadSize = 20;
  // Blend a uniform-scale term into the quad units (mode 1) rather than
  // the similarity term alone (mode 0).
  bool useScaleTerm = false;
  // With parts.sharp the rest grid spans the photo's exact size rather than
  // its aligned copy, and the picture is drawn from the photo as given: one
  // resampling, and at the photo's own size the picture is the photo.
  ResultParts parts;
  // Minimum quad scale of the guard against folding (core/mesh_guard.hpp);
  // 0 solves without it.
  double minScale = kDefaultMinScale;
  // The largest importance file LoadImage decodes, in pixels.
  std::int64_t maxPixels = kDefaultMaxPixels;
  // The memory a resize may take, in bytes (core/memory_budget.hpp); 0: no
  // limit. The programs set it.
  std::int64_t maxMemory = 0;
  // With parts.sharp, a photo whose longer side is above this many pixels
  // is analysed and solved on a copy reduced to it (the working copy), and
  // the mesh found there spans the photo; 0 solves at the photo's own size.
  // The warp needs no more quads than this to look right, while every cost
  // of the analysis and the solve grows with the pixel count.
  int workSide = kDefaultWorkSide;
  // workSide when it applies (with parts.sharp), else 0.
  int WorkSide() const { return parts.sharp ? workSide : 0; }

  // The line detector: hysteresis thresholds on the gradient, the
  // Gaussian's sigma and the shortest chain kept (pixels).
  float edgeLowThreshold = 5e-5f;
  float edgeHighThreshold = 0.015f;
  double sigma = 1.0;
  int minEdgeLength = 70;
  // Line points keep this share of a quad's side from its border.
  double linePointMargin = 0.0;
  // Weight of a line unit relative to the mean importance under it.
  double lineWeight = 1.0;
  // Exponent of the blend between the similarity and scale terms.
  double beta = 0.5;

  // Straight segments shorter than this many quads are left to the quad
  // units.
  double straightMinLength = 2.0;
  // Weight of a sample's distance across its segment's chord, per quad of
  // segment length; the same everywhere, as a bent line shows anywhere.
  double straightWeight = 10.0;
  // The same along the chord, as a share of straightWeight: moving along
  // the line does not bend it, so less weight lets lines stretch with the
  // content; with much less, slanted lines bent where the aspect changed.
  double straightAlong = 0.5;

  // The built-in solver may use a second thread for large guarded solves.
  bool solverThreads = true;
  // The diagnostic lines of the energy build on standard output (beta=,
  // quads.size=, quad5s.size=, edges.size=, A.m=).
  bool printDiagnostics = true;
};

// The defaults with QUADRIX_MIN_SCALE and QUADRIX_MAX_PIXELS applied when
// set. Throws std::invalid_argument naming the variable and its value when
// one is invalid.
ResizeSettings SettingsFromEnvironment();

}  // namespace quadrix
