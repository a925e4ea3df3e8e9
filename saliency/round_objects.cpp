#include "saliency/round_objects.hpp"

#include <algorithm>
#include <future>
#include <opencv2/imgproc.hpp>

namespace quadrix {

namespace {

constexpr int kMinSide = 32;
constexpr int kCircleSide = 512;  // longer side for the circle search
// Edge strength (Canny's upper threshold) and how complete a circle must be
// (0..1) for the gradient method that scores whole circles.
constexpr double kEdgeThreshold = 300.0;
constexpr double kCircleScore = 0.85;

constexpr int kPatchSide = 192;  // shorter side for the colour patches
constexpr int kColours = 5;
constexpr double kMinSolidity = 0.8;  // area / convex hull area
constexpr double kMaxElongation = 2.5;
constexpr double kMinShare = 0.01, kMaxShare = 0.3;
constexpr double kMaxOnBorder = 0.25;  // share of the outline on the border
constexpr size_t kMaxObjects = 32;

void FindCircles(const cv::Mat& bgr, double minRadius, std::vector<cv::RotatedRect>& out) {
  const double scale =
      std::min(1.0, static_cast<double>(kCircleSide) / std::max(bgr.cols, bgr.rows));
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  if (scale < 1.0) cv::resize(grey, grey, cv::Size(), scale, scale, cv::INTER_AREA);
  // Texture and noise make circles of their own: smooth them away first.
  cv::GaussianBlur(grey, grey, cv::Size(5, 5), 1.5);
  const int rMin = std::max(4, static_cast<int>(minRadius * scale));
  const int rMax = std::min(grey.cols, grey.rows) / 2;
  if (rMin >= rMax) return;
  std::vector<cv::Vec3f> circles;
  cv::HoughCircles(grey, circles, cv::HOUGH_GRADIENT_ALT, 1.5, rMin, kEdgeThreshold, kCircleScore,
                   rMin, rMax);
  for (const cv::Vec3f& c : circles) {
    const float d = static_cast<float>(2 * c[2] / scale);
    out.emplace_back(
        cv::Point2f(static_cast<float>(c[0] / scale), static_cast<float>(c[1] / scale)),
        cv::Size2f(d, d), 0.0f);
  }
}

void FindPatches(const cv::Mat& bgr, std::vector<cv::RotatedRect>& out) {
  const double scale = static_cast<double>(kPatchSide) / std::min(bgr.cols, bgr.rows);
  cv::Mat small, lab;
  cv::resize(bgr, small, cv::Size(), scale, scale, scale < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR);
  cv::GaussianBlur(small, small, cv::Size(5, 5), 1.5);
  // Not Lab: its first use builds tables that take longer than the rest.
  cv::cvtColor(small, lab, cv::COLOR_BGR2YCrCb);
  cv::Mat samples = lab.reshape(1, static_cast<int>(lab.total()));
  samples.convertTo(samples, CV_32F);
  // The same photo gives the same patches: the clustering's random start
  // comes from a generator of its own seed, the caller's is left as it was.
  cv::RNG& rng = cv::theRNG();
  const cv::RNG saved = rng;
  rng = cv::RNG(0x5eed);
  cv::Mat labels, centres;
  cv::kmeans(samples, kColours, labels,
             cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::MAX_ITER, 10, 1.0), 1,
             cv::KMEANS_PP_CENTERS, centres);
  rng = saved;
  labels = labels.reshape(1, small.rows);

  const double area = static_cast<double>(small.total());
  const cv::Mat open = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5));
  const cv::Mat close = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7));
  for (int k = 0; k < kColours; ++k) {
    cv::Mat mask = labels == k;
    cv::morphologyEx(mask, mask, cv::MORPH_OPEN, open);
    cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, close);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    for (const std::vector<cv::Point>& c : contours) {
      const double a = cv::contourArea(c);
      if (c.size() < 5 || a < kMinShare * area || a > kMaxShare * area) continue;
      std::vector<cv::Point> hull;
      cv::convexHull(c, hull);
      if (a < kMinSolidity * cv::contourArea(hull)) continue;
      const cv::RotatedRect e = cv::fitEllipse(c);
      const float lo = std::min(e.size.width, e.size.height);
      if (lo <= 0 || std::max(e.size.width, e.size.height) > kMaxElongation * lo) continue;
      size_t onBorder = 0;
      for (const cv::Point& p : c)
        onBorder += p.x <= 1 || p.y <= 1 || p.x >= small.cols - 2 || p.y >= small.rows - 2;
      if (onBorder > kMaxOnBorder * c.size()) continue;
      out.emplace_back(cv::Point2f(static_cast<float>(e.center.x / scale),
                                   static_cast<float>(e.center.y / scale)),
                       cv::Size2f(static_cast<float>(e.size.width / scale),
                                  static_cast<float>(e.size.height / scale)),
                       e.angle);
    }
  }
}

}  // namespace

std::vector<cv::RotatedRect> FindCompactObjects(const cv::Mat& bgr8U3C, double minRadius) {
  CV_Assert(bgr8U3C.type() == CV_8UC3);
  std::vector<cv::RotatedRect> found;
  if (std::min(bgr8U3C.cols, bgr8U3C.rows) < kMinSide) return found;
  // The two searches share nothing: the circles are sought beside the
  // patches.
  std::vector<cv::RotatedRect> patches;
  std::future<void> circles =
      std::async(std::launch::async, [&] { FindCircles(bgr8U3C, minRadius, found); });
  FindPatches(bgr8U3C, patches);
  circles.get();
  found.insert(found.end(), patches.begin(), patches.end());
  if (found.size() > kMaxObjects) found.resize(kMaxObjects);
  return found;
}

}  // namespace quadrix
