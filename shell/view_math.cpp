#include "shell/view_math.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quadrix {

namespace {

int Scaled(int side, double factor) {
  if (side <= 0) return 0;
  return std::max(1, static_cast<int>(std::lround(side * factor)));
}

}  // namespace

double FitZoom(cv::Size target, cv::Size available, double limit) {
  double zoom = limit;
  if (target.width > 0) zoom = std::min(zoom, static_cast<double>(available.width) / target.width);
  if (target.height > 0)
    zoom = std::min(zoom, static_cast<double>(available.height) / target.height);
  if (zoom < limit) {
    zoom = std::floor(zoom * 1000.0) / 1000.0;
    // Rounding the sides must not take the view past what is available.
    while (zoom > kLeastZoom && (ViewSize(target, zoom).width > available.width ||
                                 ViewSize(target, zoom).height > available.height))
      zoom -= 0.001;
  }
  return std::clamp(zoom, kLeastZoom, kMaxZoom);
}

double StepZoom(double zoom, bool up, double maxZoom) {
  constexpr double kSame = 1e-6;
  double next = zoom;
  if (up) {
    for (double step : kZoomSteps)
      if (step > zoom + kSame) {
        next = step;
        break;
      }
    // Between the last step that fits and the limit: go to the limit.
    next = std::min(next, maxZoom);
    return std::max(next, zoom);
  }
  for (double step : kZoomSteps)
    if (step < zoom - kSame) next = step;
  return std::min(next, zoom);
}

cv::Size ViewSize(cv::Size target, double zoom) {
  return {Scaled(target.width, zoom), Scaled(target.height, zoom)};
}

cv::Size TargetForArea(cv::Size area, double zoom) {
  return {Scaled(area.width, 1.0 / zoom), Scaled(area.height, 1.0 / zoom)};
}

cv::Rect PictureRect(cv::Size area, cv::Size target, double zoom) {
  const cv::Size view = ViewSize(target, zoom);
  if (view == area || target.area() <= 0) return {0, 0, area.width, area.height};
  const double scale = std::min({zoom, static_cast<double>(area.width) / target.width,
                                 static_cast<double>(area.height) / target.height});
  const cv::Size shown = ViewSize(target, scale);
  const int w = std::min(shown.width, area.width);
  const int h = std::min(shown.height, area.height);
  return {(area.width - w) / 2, (area.height - h) / 2, w, h};
}

bool MeshPointToSource(int vx, int vy, std::span<const float> xy, cv::Size src, cv::Point2d p,
                       cv::Point2d& at, double& scale) {
  if (vx < 2 || vy < 2 || xy.size() < 2 * static_cast<size_t>(vx) * vy) return false;
  const double cw = static_cast<double>(src.width) / (vx - 1);
  const double ch = static_cast<double>(src.height) / (vy - 1);
  auto shown = [&](int v) { return cv::Point2d(xy[2 * v], xy[2 * v + 1]); };
  auto rest = [&](int v) { return cv::Point2d((v % vx) * cw, (v / vx) * ch); };
  for (int j = 0; j + 1 < vy; ++j)
    for (int i = 0; i + 1 < vx; ++i) {
      const int v = j * vx + i;
      // The two triangles the renderer draws of this quad.
      const int tris[2][3] = {{v, v + 1, v + vx + 1}, {v, v + vx + 1, v + vx}};
      for (const auto& t : tris) {
        const cv::Point2d a = shown(t[0]), b = shown(t[1]), c = shown(t[2]);
        const double area = (b - a).cross(c - a);
        if (std::abs(area) < 1e-12) continue;
        const double u = (p - a).cross(c - a) / area;  // weight of b
        const double w = (b - a).cross(p - a) / area;  // weight of c
        constexpr double kEdge = -1e-9;
        if (u < kEdge || w < kEdge || u + w > 1 - kEdge) continue;
        const cv::Point2d ra = rest(t[0]), rb = rest(t[1]), rc = rest(t[2]);
        at = ra + u * (rb - ra) + w * (rc - ra);
        scale = std::sqrt(std::abs((rb - ra).cross(rc - ra) / area));
        return true;
      }
    }
  return false;
}

cv::Size AspectSize(int ratioW, int ratioH, cv::Size current, bool keepWidth) {
  if (keepWidth)
    return {current.width, Scaled(current.width, static_cast<double>(ratioH) / ratioW)};
  return {Scaled(current.height, static_cast<double>(ratioW) / ratioH), current.height};
}

std::string FormatDuration(double ms) {
  char text[32];
  if (ms < 0.05)
    return "<0.1 ms";
  else if (ms < 99.95)
    std::snprintf(text, sizeof text, "%.1f ms", ms);
  else if (ms < 999.5)
    std::snprintf(text, sizeof text, "%.0f ms", ms);
  else
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

}  // namespace quadrix
