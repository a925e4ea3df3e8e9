#include "core/importance_paint.hpp"

#include <algorithm>
#include <cmath>

namespace quadrix {

namespace {

constexpr uchar kNone = 0;
constexpr uchar kProtectLabel = 1;
constexpr uchar kAbsorbLabel = 2;

}  // namespace

ImportancePainter::ImportancePainter(cv::Mat base32F) { Reset(std::move(base32F)); }

void ImportancePainter::Reset(cv::Mat base32F) {
  base_ = std::move(base32F);
  map_ = base_.clone();
  labels_ = cv::Mat::zeros(base_.size(), CV_8UC1);
  stroking_ = false;
  strokeStart_.release();
  undo_.clear();
  redo_.clear();
}

void ImportancePainter::BeginStroke(Brush brush) {
  brush_ = brush;
  stroking_ = true;
  strokeStart_ = labels_.clone();
  strokeRect_ = cv::Rect();
}

cv::Rect ImportancePainter::Dab(cv::Point2d centre, double radius) {
  if (!stroking_ || labels_.empty() || !(radius > 0)) return {};
  const cv::Rect whole(0, 0, labels_.cols, labels_.rows);
  const int x0 = static_cast<int>(std::floor(centre.x - radius));
  const int y0 = static_cast<int>(std::floor(centre.y - radius));
  const int x1 = static_cast<int>(std::ceil(centre.x + radius));
  const int y1 = static_cast<int>(std::ceil(centre.y + radius));
  const cv::Rect rect = cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1) & whole;
  if (rect.empty()) return {};
  const uchar label = brush_ == Brush::kProtect  ? kProtectLabel
                      : brush_ == Brush::kAbsorb ? kAbsorbLabel
                                                 : kNone;
  // Pixel centres within the radius.
  const double r2 = radius * radius;
  for (int y = rect.y; y < rect.y + rect.height; ++y) {
    uchar* row = labels_.ptr<uchar>(y);
    const double dy = y + 0.5 - centre.y;
    for (int x = rect.x; x < rect.x + rect.width; ++x) {
      const double dx = x + 0.5 - centre.x;
      if (dx * dx + dy * dy <= r2) row[x] = label;
    }
  }
  Refresh(rect);
  strokeRect_ |= rect;
  return rect;
}

bool ImportancePainter::EndStroke() {
  if (!stroking_) return false;
  stroking_ = false;
  const cv::Rect rect = strokeRect_;
  cv::Mat before = strokeStart_;
  strokeStart_.release();
  if (rect.empty() || cv::countNonZero(before(rect) != labels_(rect)) == 0) return false;
  undo_.push_back({rect, before(rect).clone(), labels_(rect).clone()});
  redo_.clear();
  return true;
}

cv::Rect ImportancePainter::Swap(std::vector<Stroke>& from, std::vector<Stroke>& to, bool undo) {
  if (from.empty() || stroking_) return {};
  Stroke stroke = std::move(from.back());
  from.pop_back();
  (undo ? stroke.before : stroke.after).copyTo(labels_(stroke.rect));
  Refresh(stroke.rect);
  const cv::Rect rect = stroke.rect;
  to.push_back(std::move(stroke));
  return rect;
}

cv::Rect ImportancePainter::Undo() { return Swap(undo_, redo_, true); }

cv::Rect ImportancePainter::Redo() { return Swap(redo_, undo_, false); }

void ImportancePainter::Refresh(cv::Rect rect) {
  for (int y = rect.y; y < rect.y + rect.height; ++y) {
    const uchar* label = labels_.ptr<uchar>(y);
    const float* base = base_.ptr<float>(y);
    float* out = map_.ptr<float>(y);
    for (int x = rect.x; x < rect.x + rect.width; ++x)
      out[x] = label[x] == kProtectLabel  ? kProtectImportance
               : label[x] == kAbsorbLabel ? kLeastImportance
                                          : base[x];
  }
}

}  // namespace quadrix
