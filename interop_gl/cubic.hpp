#pragma once
// The resampling kernels shared by the processor's pictures, as the mesh
// shader has them: Keys' cubic (a = -0.75) for a footprint of any width,
// Catmull-Rom weights for the fixed 4 x 4 case.

#include <algorithm>
#include <cmath>

namespace quadrix {

// Sharpest sampling is at most this many texels a side, on the mip level
// that keeps the footprint within these bounds.
constexpr float kMaxFootprintArea = 10.0f;
constexpr float kMaxFootprintSide = 7.0f;
constexpr int kMaxFilterTaps = 32;
constexpr float kFootprintSlack = 1.001f;  // as the shader's, for exact ratios such as 2

inline float Cubic(float x) {
  const float a = std::abs(x);
  if (a >= 2.0f) return 0.0f;
  if (a < 1.0f) return (1.25f * a - 2.25f) * a * a + 1.0f;
  return ((-0.75f * a + 3.75f) * a - 6.0f) * a + 3.0f;
}

// Catmull-Rom weights of the four texels at offsets t + 1, t, 1 - t, 2 - t.
inline void Cubic4(float t, float* w) {
  const float u = 1.0f - t;
  w[0] = ((-0.5f * t + 1.0f) * t - 0.5f) * t;
  w[1] = (1.5f * t - 2.5f) * t * t + 1.0f;
  w[2] = (1.5f * u - 2.5f) * u * u + 1.0f;
  w[3] = ((-0.5f * u + 1.0f) * u - 0.5f) * u;
}

// The mip level whose texels keep a footprint of footX x footY level-0
// texels within the bounds above; levelCount levels exist.
inline int FootprintLevel(float footX, float footY, int levelCount) {
  const float coverX = std::max(footX, 1.0f);
  const float coverY = std::max(footY, 1.0f);
  int level = 0;
  if (coverX * coverY > kMaxFootprintArea * kFootprintSlack)
    level = static_cast<int>(
        std::ceil(0.5f * std::log2(coverX * coverY / (kMaxFootprintArea * kFootprintSlack))));
  const float side = std::max(coverX, coverY);
  if (side > kMaxFootprintSide * kFootprintSlack)
    level = std::max(
        level,
        static_cast<int>(std::ceil(std::log2(side / (kMaxFootprintSide * kFootprintSlack)))));
  return std::clamp(level, 0, levelCount - 1);
}

}  // namespace quadrix
