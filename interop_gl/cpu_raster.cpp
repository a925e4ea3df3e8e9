#include "interop_gl/cpu_raster.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/assertion.hpp"
#include "interop_gl/renderer.hpp"

namespace quadrix {

namespace {

constexpr char kSource[] = "interop_gl/cpu_raster";
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
void FillTriangle(cv::Mat& out, const cv::Mat& tex, Point a, Point b, Point c, Point sa, Point sb,
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
      Sample(tex, la * sa.x + lb * sb.x + lc * sc.x, la * sa.y + lb * sb.y + lc * sc.y,
             row + 3 * x);
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
  srcWidth_ = colour.cols;
  srcHeight_ = colour.rows;
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
}

cv::Mat CpuRasterizer::Render(int vx, int vy, std::span<const float> xy, cv::Size target,
                              bool showGrid, int textureIndex) const {
  QX_ASSERT("CpuRasterizer::Render", kSource,
            vx >= 2 && vy >= 2 &&
                xy.size() == 2 * static_cast<size_t>(vx) * static_cast<size_t>(vy) &&
                (textureIndex == 0 || textureIndex == 1));
  cv::Mat out(std::max(target.height, 0), std::max(target.width, 0), CV_8UC3,
              cv::Scalar(255, 255, 255));
  if (out.empty()) return out;

  const cv::Mat& tex = textures_[static_cast<size_t>(textureIndex)];
  const size_t count = static_cast<size_t>(vx) * static_cast<size_t>(vy);
  std::vector<Point> pos(count);
  std::vector<Point> src(count);
  for (size_t n = 0; n < count; ++n) {
    pos[n] = Point{xy[2 * n], xy[2 * n + 1]};
    const auto column = static_cast<double>(n % static_cast<size_t>(vx));
    const auto row = static_cast<double>(n / static_cast<size_t>(vx));
    src[n] = Point{column * srcWidth_ / (vx - 1), row * srcHeight_ / (vy - 1)};
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
        FillTriangle(out, tex, pos[i], pos[j], pos[k], src[i], src[j], src[k], rowBegin, rowEnd);
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

cv::Mat RasterizeMesh(const cv::Mat& colour, const cv::Mat& importance, int vx, int vy,
                      std::span<const float> xy, cv::Size target, bool showGrid, int textureIndex) {
  CpuRasterizer raster;
  raster.SetImages(colour, importance);
  return raster.Render(vx, vy, xy, target, showGrid, textureIndex);
}

}  // namespace quadrix
