#include "shell/view.hpp"

#include <algorithm>
#include <cmath>

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
    while (zoom > kMinZoom && (ViewSize(target, zoom).width > available.width ||
                               ViewSize(target, zoom).height > available.height))
      zoom -= 0.001;
  }
  return std::clamp(zoom, kMinZoom, kMaxZoom);
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

cv::Size AspectSize(int ratioW, int ratioH, cv::Size current, bool keepWidth) {
  if (keepWidth)
    return {current.width, Scaled(current.width, static_cast<double>(ratioH) / ratioW)};
  return {Scaled(current.height, static_cast<double>(ratioW) / ratioH), current.height};
}

}  // namespace quadrix
