#include "interop_gl/cpu_raster.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "base/check.hpp"
#include "interop_gl/cubic.hpp"
#include "interop_gl/renderer.hpp"

namespace quadrix {

namespace {

constexpr int kBandRows = 64;

struct Point {
  double x;
  double y;
};

// Bilinear sample of an RGBA float texture at source position (sx, sy),
// origin at the top-left corner of the top-left pixel; written as B, G, R.
inline void Sample(const cv::Mat& tex, double sx, double sy, uchar* bgr) {
  if (tex.empty()) {
    // An empty texture reads as opaque black, as GL's incomplete one does.
    bgr[0] = bgr[1] = bgr[2] = 0;
    return;
  }
  const double fx = sx - 0.5;
  const double fy = sy - 0.5;
  const double x0f = std::floor(fx);
  const double y0f = std::floor(fy);
  const float ax = static_cast<float>(fx - x0f);
  const float ay = static_cast<float>(fy - y0f);
  const int maxX = tex.cols - 1;
  const int maxY = tex.rows - 1;
  const int x0 = std::clamp(static_cast<int>(x0f), 0, maxX);
  const int x1 = std::clamp(static_cast<int>(x0f) + 1, 0, maxX);
  const int y0 = std::clamp(static_cast<int>(y0f), 0, maxY);
  const int y1 = std::clamp(static_cast<int>(y0f) + 1, 0, maxY);
  const float* r0 = tex.ptr<float>(y0);
  const float* r1 = tex.ptr<float>(y1);
  for (int c = 0; c < 3; ++c) {
    const float top = r0[4 * x0 + c] + ax * (r0[4 * x1 + c] - r0[4 * x0 + c]);
    const float bottom = r1[4 * x0 + c] + ax * (r1[4 * x1 + c] - r1[4 * x0 + c]);
    bgr[2 - c] = cv::saturate_cast<uchar>((top + ay * (bottom - top)) * 255.0f);
  }
}

// Bilinear sampling, as GL_LINEAR on level 0.
struct BilinearSampler {
  const cv::Mat* tex;
  void Prepare(double, double, double, double) {}
  void operator()(double sx, double sy, uchar* bgr) const { Sample(*tex, sx, sy, bgr); }
};

// The mesh shader's filter (interop_gl.glsl, Sharp), step by step: a
// bicubic kernel per texture axis (Keys, a = -0.75) widened to the footprint of
// a pixel when minifying, on the mip level that keeps the footprint small;
// Catmull-Rom in a fixed 4 x 4 pattern when magnifying.
struct FilteredSampler {
  const std::vector<cv::Mat>* levels;  // level 0 first, CV_32FC4
  const cv::Mat* tex = nullptr;
  float toLevelX = 1.0f, toLevelY = 1.0f;
  float scaleX = 1.0f, scaleY = 1.0f;
  bool magnifying = false;  // footprint at most kFootprintSlack: the fixed 4 x 4 reads

  // The triangle's derivatives of the source position (level-0 texels) by
  // target x and y.
  void Prepare(double dxdx, double dydx, double dxdy, double dydy) {
    const float footX = static_cast<float>(std::abs(dxdx) + std::abs(dxdy));
    const float footY = static_cast<float>(std::abs(dydx) + std::abs(dydy));
    const int level = FootprintLevel(footX, footY, static_cast<int>(levels->size()));
    const cv::Mat& base = levels->front();
    tex = &(*levels)[static_cast<size_t>(level)];
    toLevelX = static_cast<float>(tex->cols) / static_cast<float>(base.cols);
    toLevelY = static_cast<float>(tex->rows) / static_cast<float>(base.rows);
    scaleX = std::min(std::max(footX * toLevelX, 1.0f), kMaxFootprintSide);
    scaleY = std::min(std::max(footY * toLevelY, 1.0f), kMaxFootprintSide);
    magnifying = std::max(footX * toLevelX, footY * toLevelY) <= kFootprintSlack;
  }

  void operator()(double sx, double sy, uchar* bgr) const {
    const float px = static_cast<float>(sx) * toLevelX;
    const float py = static_cast<float>(sy) * toLevelY;
    if (magnifying) {
      Magnified(px, py, bgr);
      return;
    }
    const int x0 = static_cast<int>(std::ceil(px - 2.0f * scaleX - 0.5f));
    const int x1 =
        std::min(static_cast<int>(std::floor(px + 2.0f * scaleX - 0.5f)), x0 + kMaxFilterTaps - 1);
    const int y0 = static_cast<int>(std::ceil(py - 2.0f * scaleY - 0.5f));
    const int y1 =
        std::min(static_cast<int>(std::floor(py + 2.0f * scaleY - 0.5f)), y0 + kMaxFilterTaps - 1);
    float wx[kMaxFilterTaps];
    int cx[kMaxFilterTaps];
    float sumX = 0.0f;
    for (int x = x0; x <= x1; ++x) {
      const float w = Cubic((static_cast<float>(x) + 0.5f - px) / scaleX);
      wx[x - x0] = w;
      cx[x - x0] = 4 * std::clamp(x, 0, tex->cols - 1);
      sumX += w;
    }
    float sum[3] = {0.0f, 0.0f, 0.0f};
    float sumY = 0.0f;
    for (int y = y0; y <= y1; ++y) {
      const float wy = Cubic((static_cast<float>(y) + 0.5f - py) / scaleY);
      sumY += wy;
      if (wy == 0.0f) continue;
      const float* row = tex->ptr<float>(std::clamp(y, 0, tex->rows - 1));
      float line[3] = {0.0f, 0.0f, 0.0f};
      for (int k = 0; k <= x1 - x0; ++k) {
        const float* t = row + cx[k];
        line[0] += wx[k] * t[0];
        line[1] += wx[k] * t[1];
        line[2] += wx[k] * t[2];
      }
      for (int c = 0; c < 3; ++c) sum[c] += wy * line[c];
    }
    const float norm = 255.0f / (sumX * sumY);
    for (int c = 0; c < 3; ++c) bgr[2 - c] = cv::saturate_cast<uchar>(sum[c] * norm);
  }

  // Four taps each way in a fixed pattern, as the shader's fast case.
  void Magnified(float px, float py, uchar* bgr) const {
    const float fx = px - 0.5f;
    const float fy = py - 0.5f;
    const float ix = std::floor(fx);
    const float iy = std::floor(fy);
    float wx[4], wy[4];
    Cubic4(fx - ix, wx);
    Cubic4(fy - iy, wy);
    int cx[4];
    for (int k = 0; k < 4; ++k)
      cx[k] = 4 * std::clamp(static_cast<int>(ix) - 1 + k, 0, tex->cols - 1);
    float sum[3] = {0.0f, 0.0f, 0.0f};
    for (int j = 0; j < 4; ++j) {
      const float* row =
          tex->ptr<float>(std::clamp(static_cast<int>(iy) - 1 + j, 0, tex->rows - 1));
      float line[3] = {0.0f, 0.0f, 0.0f};
      for (int k = 0; k < 4; ++k) {
        const float* t = row + cx[k];
        line[0] += wx[k] * t[0];
        line[1] += wx[k] * t[1];
        line[2] += wx[k] * t[2];
      }
      for (int c = 0; c < 3; ++c) sum[c] += wy[j] * line[c];
    }
    for (int c = 0; c < 3; ++c) bgr[2 - c] = cv::saturate_cast<uchar>(sum[c] * 255.0f);
  }
};

// Whether a pixel centre exactly on edge u->v belongs to this triangle: of
// two triangles sharing an edge, each sees it in the other direction, so
// exactly one takes it.
inline bool OwnsEdge(const Point& u, const Point& v) {
  const double dy = v.y - u.y;
  return dy < 0.0 || (dy == 0.0 && v.x - u.x > 0.0);
}

inline double EdgeValue(const Point& u, const Point& v, double px, double py) {
  return (v.x - u.x) * (py - u.y) - (v.y - u.y) * (px - u.x);
}

// Fills the part of triangle abc (target pixels; sa, sb, sc its source
// positions) that lies in rows [rowBegin, rowEnd).
template <class Sampler>
void FillTriangle(cv::Mat& out, Sampler sample, Point a, Point b, Point c, Point sa, Point sb,
                  Point sc, int rowBegin, int rowEnd) {
  double area = EdgeValue(a, b, c.x, c.y);
  if (area == 0.0 || !std::isfinite(area)) return;
  if (area < 0.0) {
    // Folded triangles are drawn as well: only the orientation changes.
    std::swap(b, c);
    std::swap(sb, sc);
    area = -area;
  }
  const double minX = std::min({a.x, b.x, c.x});
  const double maxX = std::max({a.x, b.x, c.x});
  const double minY = std::min({a.y, b.y, c.y});
  const double maxY = std::max({a.y, b.y, c.y});
  // Clipped in double: vertices may lie far outside the target.
  const double bx0 = std::max(0.0, std::floor(minX - 0.5));
  const double bx1 = std::min(out.cols - 1.0, std::ceil(maxX - 0.5));
  const double by0 = std::max(static_cast<double>(rowBegin), std::floor(minY - 0.5));
  const double by1 = std::min(rowEnd - 1.0, std::ceil(maxY - 0.5));
  if (!(bx0 <= bx1 && by0 <= by1)) return;
  const int x0 = static_cast<int>(bx0);
  const int x1 = static_cast<int>(bx1);
  const int y0 = static_cast<int>(by0);
  const int y1 = static_cast<int>(by1);

  const bool ownBC = OwnsEdge(b, c);
  const bool ownCA = OwnsEdge(c, a);
  const bool ownAB = OwnsEdge(a, b);
  const double inv = 1.0 / area;
  // The affine map's derivatives: d(weight of a)/dx = -(c.y - b.y) / area,
  // d/dy = (c.x - b.x) / area, and alike for b and c.
  const double lax = -(c.y - b.y) * inv, lay = (c.x - b.x) * inv;
  const double lbx = -(a.y - c.y) * inv, lby = (a.x - c.x) * inv;
  const double lcx = -(b.y - a.y) * inv, lcy = (b.x - a.x) * inv;
  sample.Prepare(lax * sa.x + lbx * sb.x + lcx * sc.x, lax * sa.y + lbx * sb.y + lcx * sc.y,
                 lay * sa.x + lby * sb.x + lcy * sc.x, lay * sa.y + lby * sb.y + lcy * sc.y);
  for (int y = y0; y <= y1; ++y) {
    const double py = y + 0.5;
    uchar* row = out.ptr<uchar>(y);
    for (int x = x0; x <= x1; ++x) {
      const double px = x + 0.5;
      const double ea = EdgeValue(b, c, px, py);  // weight of a
      const double eb = EdgeValue(c, a, px, py);  // weight of b
      const double ec = EdgeValue(a, b, px, py);  // weight of c
      if (ea < 0.0 || eb < 0.0 || ec < 0.0) continue;
      if ((ea == 0.0 && !ownBC) || (eb == 0.0 && !ownCA) || (ec == 0.0 && !ownAB)) continue;
      const double la = ea * inv;
      const double lb = eb * inv;
      const double lc = ec * inv;
      sample(la * sa.x + lb * sb.x + lc * sc.x, la * sa.y + lb * sb.y + lc * sc.y, row + 3 * x);
    }
  }
}

// One-pixel line: one pixel per column (or row, for steep lines) whose
// centre the segment spans, end excluded, as GL draws a non-antialiased line.
void DrawLine(cv::Mat& out, Point p, Point q) {
  const double dx = q.x - p.x;
  const double dy = q.y - p.y;
  const bool xMajor = std::abs(dx) >= std::abs(dy);
  if ((xMajor ? dx : dy) == 0.0) return;
  const double major0 = xMajor ? p.x : p.y;
  const double major1 = xMajor ? q.x : q.y;
  const double slope = xMajor ? dy / dx : dx / dy;
  const double minor0 = xMajor ? p.y : p.x;
  const double lo = std::min(major0, major1);
  const double hi = std::max(major0, major1);
  const int majorLimit = xMajor ? out.cols : out.rows;
  const int minorLimit = xMajor ? out.rows : out.cols;
  const double first = std::max(0.0, std::ceil(lo - 0.5));
  const double last = std::min(majorLimit - 1.0, std::ceil(hi - 0.5) - 1.0);
  if (!(first <= last)) return;
  for (int m = static_cast<int>(first); m <= static_cast<int>(last); ++m) {
    const double minor = minor0 + (m + 0.5 - major0) * slope;
    // A line exactly on a pixel border lights the pixel below it in GL's
    // y-up window: the one above it (floor) here, and the one to its left.
    const double n0 = xMajor ? std::floor(minor) : std::ceil(minor) - 1.0;
    if (!(n0 >= 0.0 && n0 < minorLimit)) continue;
    const int n = static_cast<int>(n0);
    uchar* px = xMajor ? out.ptr<uchar>(n) + 3 * m : out.ptr<uchar>(m) + 3 * n;
    px[0] = 0;
    px[1] = 0;
    px[2] = 255;
  }
}

}  // namespace

void CpuRasterizer::SetImages(const cv::Mat& colour, const cv::Mat& importance) {
  const cv::Mat* images[2] = {&colour, &importance};
  for (int i = 0; i < 2; ++i) {
    std::vector<float> texels = BuildImageTexels(*images[i]);
    if (texels.empty()) {
      textures_[static_cast<size_t>(i)].release();
      continue;
    }
    const cv::Mat bottomUp(images[i]->rows, images[i]->cols, CV_32FC4, texels.data());
    cv::flip(bottomUp, textures_[static_cast<size_t>(i)], 0);
  }
  // The colour image's mip levels, each half the one above (sizes rounded
  // down), as glGenerateMipmap makes them of the 8-bit copy.
  levels_.clear();
  if (textures_[0].empty()) return;
  levels_.push_back(textures_[0]);
  while (levels_.back().cols > 1 || levels_.back().rows > 1) {
    const cv::Mat& up = levels_.back();
    cv::Mat down;
    cv::resize(up, down, cv::Size(std::max(1, up.cols / 2), std::max(1, up.rows / 2)), 0, 0,
               cv::INTER_LINEAR);
    // The GPU keeps its levels in 8 bits.
    down.convertTo(down, CV_8UC4, 255.0);
    down.convertTo(down, CV_32FC4, 1.0 / 255.0);
    levels_.push_back(std::move(down));
  }
}

cv::Mat CpuRasterizer::Render(int vx, int vy, std::span<const float> xy, cv::Size target,
                              bool showGrid, int textureIndex) const {
  QX_CHECK(vx >= 2 && vy >= 2 &&
           xy.size() == 2 * static_cast<size_t>(vx) * static_cast<size_t>(vy) &&
           (textureIndex == 0 || textureIndex == 1));
  cv::Mat out(std::max(target.height, 0), std::max(target.width, 0), CV_8UC3,
              cv::Scalar(255, 255, 255));
  if (out.empty()) return out;

  const cv::Mat& tex = textures_[static_cast<size_t>(textureIndex)];
  const bool sharp = filtered_ && textureIndex == 0 && !levels_.empty();
  // Source positions in texels of the texture drawn: the grid spans each
  // image whole, whatever its size.
  const double texWidth = tex.empty() ? 1.0 : tex.cols;
  const double texHeight = tex.empty() ? 1.0 : tex.rows;
  const size_t count = static_cast<size_t>(vx) * static_cast<size_t>(vy);
  std::vector<Point> pos(count);
  std::vector<Point> src(count);
  for (size_t n = 0; n < count; ++n) {
    pos[n] = Point{xy[2 * n], xy[2 * n + 1]};
    const auto column = static_cast<double>(n % static_cast<size_t>(vx));
    const auto row = static_cast<double>(n / static_cast<size_t>(vx));
    src[n] = Point{column * texWidth / (vx - 1), row * texHeight / (vy - 1)};
  }
  const MeshIndices indices = BuildMeshIndices(vx, vy);
  const auto& tri = indices.triangles;

  // Bands of rows are independent; within a band triangles go in index
  // order, so a later triangle covers an earlier one as on the GPU.
  const int bands = (out.rows + kBandRows - 1) / kBandRows;
  cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
    for (int band = range.start; band < range.end; ++band) {
      const int rowBegin = band * kBandRows;
      const int rowEnd = std::min(out.rows, rowBegin + kBandRows);
      for (size_t t = 0; t + 2 < tri.size(); t += 3) {
        const uint32_t i = tri[t], j = tri[t + 1], k = tri[t + 2];
        if (sharp)
          FillTriangle(out, FilteredSampler{&levels_}, pos[i], pos[j], pos[k], src[i], src[j],
                       src[k], rowBegin, rowEnd);
        else
          FillTriangle(out, BilinearSampler{&tex}, pos[i], pos[j], pos[k], src[i], src[j], src[k],
                       rowBegin, rowEnd);
      }
    }
  });

  if (showGrid) {
    const auto& lines = indices.lines;
    for (size_t l = 0; l + 1 < lines.size(); l += 2)
      DrawLine(out, pos[lines[l]], pos[lines[l + 1]]);
  }
  return out;
}

}  // namespace quadrix
