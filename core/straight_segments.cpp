// Straight segments kept straight: each detected segment is sampled where
// it crosses the drawn triangles, every sample written as a combination of
// its triangle's vertices, and every sample held on the chord of the
// segment's ends at its own share of the way. Between samples the drawing
// is affine, so samples on the chord mean a straight line in the picture.

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "core/result_terms.hpp"

namespace quadrix {

namespace {

// A line being merged: a unit direction, a point on it, and the extent
// [lo, hi] of its pieces along the direction from that point.
struct Run {
  cv::Point2d origin, dir;
  double lo, hi;
};

// The detector breaks a line where another crosses it or the texture
// interrupts it; each piece kept straight alone still lets the line kink at
// the break. Pieces on one line (within tolerance of angle and offset) with
// gaps below maxGap pixels become one segment, longest first.
std::vector<cv::Vec4f> MergeCollinear(std::vector<cv::Vec4f> pieces, double maxGap) {
  auto len = [](const cv::Vec4f& s) { return std::hypot(s[2] - s[0], s[3] - s[1]); };
  std::sort(pieces.begin(), pieces.end(),
            [&](const cv::Vec4f& a, const cv::Vec4f& b) { return len(a) > len(b); });
  constexpr double kMaxOffset = 1.5;  // pixels off the longer line
  const double kMinCos = std::cos(2.0 * CV_PI / 180.0);
  std::vector<Run> runs;
  for (const cv::Vec4f& s : pieces) {
    const cv::Point2d a(s[0], s[1]), b(s[2], s[3]);
    const double l = len(s);
    if (l < 1e-6) continue;
    const cv::Point2d dir = (b - a) / l;
    bool merged = false;
    for (Run& r : runs) {
      if (std::abs(dir.dot(r.dir)) < kMinCos) continue;
      const cv::Point2d da = a - r.origin, db = b - r.origin;
      const cv::Point2d n(-r.dir.y, r.dir.x);
      if (std::abs(da.dot(n)) > kMaxOffset || std::abs(db.dot(n)) > kMaxOffset) continue;
      const double ta = da.dot(r.dir), tb = db.dot(r.dir);
      const double lo = std::min(ta, tb), hi = std::max(ta, tb);
      if (lo > r.hi + maxGap || hi < r.lo - maxGap) continue;
      r.lo = std::min(r.lo, lo);
      r.hi = std::max(r.hi, hi);
      merged = true;
      break;
    }
    if (!merged) runs.push_back({a, dir, 0.0, l});
  }
  std::vector<cv::Vec4f> out;
  out.reserve(runs.size());
  for (const Run& r : runs) {
    const cv::Point2d a = r.origin + r.lo * r.dir, b = r.origin + r.hi * r.dir;
    out.emplace_back(static_cast<float>(a.x), static_cast<float>(a.y), static_cast<float>(b.x),
                     static_cast<float>(b.y));
  }
  return out;
}

}  // namespace

std::vector<cv::Vec4f> DetectStraightSegments(const cv::Mat& grey8U, double minLength) {
  std::vector<cv::Vec4f> found;
  if (grey8U.empty()) return found;
  // The detector's own Gaussian scale: at half size it takes a third of the
  // time on a large photo and finds as many long segments.
  const double scale = std::max(grey8U.cols, grey8U.rows) > 1000 ? 0.5 : 0.8;
  cv::Ptr<cv::LineSegmentDetector> lsd = cv::createLineSegmentDetector(cv::LSD_REFINE_STD, scale);
  lsd->detect(grey8U, found);
  // Short pieces count only as parts of a longer line.
  std::vector<cv::Vec4f> pieces;
  for (const cv::Vec4f& s : found)
    if (std::hypot(s[2] - s[0], s[3] - s[1]) >= 0.25 * minLength) pieces.push_back(s);
  std::vector<cv::Vec4f> kept;
  for (const cv::Vec4f& s : MergeCollinear(std::move(pieces), 0.5 * minLength))
    if (std::hypot(s[2] - s[0], s[3] - s[1]) >= minLength) kept.push_back(s);
  return kept;
}

namespace {

// The longer side the detector sees at most, pixels.
constexpr double kDetectSide = 2048.0;

struct Sample {
  int vertex[3];
  double weight[3];
};

// The drawn triangle holding (x, y), aligned pixels, and the point's
// barycentric weights in it. Quad (j, i) is split into TL,TR,BR and
// TL,BR,BL; on a shared edge either triangle gives the same combination.
Sample Locate(double x, double y, int q, int C, int R) {
  const int i = std::clamp(static_cast<int>(std::floor(x / q)), 0, C - 1);
  const int j = std::clamp(static_cast<int>(std::floor(y / q)), 0, R - 1);
  const double fu = std::clamp(x / q - i, 0.0, 1.0);
  const double fv = std::clamp(y / q - j, 0.0, 1.0);
  const int tl = j * (C + 1) + i;
  const int tr = tl + 1;
  const int bl = tl + C + 1;
  const int br = bl + 1;
  if (fu >= fv) return {{tl, tr, br}, {1.0 - fu, fu - fv, fv}};
  return {{tl, br, bl}, {1.0 - fv, fu, fv - fu}};
}

// Shares u in [0, 1] along a -> b where it crosses a grid line or a quad
// diagonal (x - y a multiple of q), with both ends, sorted, near-equal ones
// merged.
std::vector<double> Crossings(cv::Point2d a, cv::Point2d b, int q, double length) {
  std::vector<double> u = {0.0, 1.0};
  auto add = [&](double from, double to) {
    // from + u (to - from) = k q for the integers k strictly between.
    const double d = to - from;
    if (std::abs(d) < 1e-12) return;
    const double lo = std::min(from, to) / q;
    const double hi = std::max(from, to) / q;
    for (int k = static_cast<int>(std::floor(lo)) + 1; k < hi; ++k) u.push_back((k * q - from) / d);
  };
  add(a.x, b.x);
  add(a.y, b.y);
  add(a.x - a.y, b.x - b.y);
  std::sort(u.begin(), u.end());
  // Closer than a tenth of a pixel: one sample stands for both.
  const double tol = 0.1 / std::max(length, 1e-9);
  std::vector<double> merged;
  for (double v : u) {
    if (v < 0.0 || v > 1.0) continue;
    if (!merged.empty() && v - merged.back() < tol) {
      if (v == 1.0) merged.back() = 1.0;
      continue;
    }
    merged.push_back(v);
  }
  return merged;
}

}  // namespace

std::vector<cv::Vec4f> FindStraightSegments(const cv::Mat& src, const cv::Mat& grey32F,
                                            double minLength) {
  cv::Mat grey8U;
  if (src.type() == CV_8UC3)
    cv::cvtColor(src, grey8U, cv::COLOR_BGR2GRAY);
  else
    grey32F.convertTo(grey8U, CV_8U, 1.0 / 0.004);
  // A large photo is searched at a smaller size: a segment that matters
  // spans quads, and the detector's time grows with the pixels.
  const double shrink = std::min(1.0, kDetectSide / std::max(grey8U.cols, grey8U.rows));
  if (shrink < 1.0) cv::resize(grey8U, grey8U, cv::Size(), shrink, shrink, cv::INTER_AREA);
  std::vector<cv::Vec4f> found = DetectStraightSegments(grey8U, minLength * shrink);
  for (cv::Vec4f& f : found) f *= 1.0 / shrink;
  return found;
}

void AppendStraightSegmentRows(ResizeHost& host, TripletMatrix& a) {
  const int q = host.settings_.quadSize;
  const int C = host.quadCountX_;
  const int R = host.quadCountY_;
  if (C <= 0 || R <= 0) return;
  if (!host.straightSegments_)
    host.straightSegments_ = std::make_shared<const std::vector<cv::Vec4f>>(
        FindStraightSegments(host.imgSrc_, host.imgGray32F_, host.settings_.straightMinLength * q));
  const double W = static_cast<double>(C) * q;
  const double H = static_cast<double>(R) * q;

  RowBuilder row;

  for (const cv::Vec4f& s : *host.straightSegments_) {
    const cv::Point2d p0(std::clamp<double>(s[0], 0.0, W), std::clamp<double>(s[1], 0.0, H));
    const cv::Point2d p1(std::clamp<double>(s[2], 0.0, W), std::clamp<double>(s[3], 0.0, H));
    const double length = std::hypot(p1.x - p0.x, p1.y - p0.y);
    if (length < 1e-6) continue;
    const std::vector<double> u = Crossings(p0, p1, q, length);
    const size_t n = u.size();
    if (n < 3) continue;  // within one triangle: straight by construction
    std::vector<Sample> samples(n);
    for (size_t k = 0; k < n; ++k)
      samples[k] = Locate(p0.x + u[k] * (p1.x - p0.x), p0.y + u[k] * (p1.y - p0.y), q, C, R);

    // The rest direction and normal: the residual's component across the
    // line bends it; along it, it only moves the sample on the line.
    cv::Point2d d((p1.x - p0.x) * host.restScaleX_, (p1.y - p0.y) * host.restScaleY_);
    d *= 1.0 / std::hypot(d.x, d.y);
    const cv::Point2d nrm(-d.y, d.x);
    const double lengthQuads = length / q;

    for (size_t k = 1; k + 1 < n; ++k) {
      // s_k - s_0 - u_k (s_last - s_0), weighted by the length the sample
      // stands for so that the energy is an integral along the segment.
      const double share = 0.5 * (u[k + 1] - u[k - 1]) * lengthQuads;
      const double w = host.settings_.straightWeight * std::sqrt(share);
      const double c[3] = {1.0, -(1.0 - u[k]), -u[k]};
      const Sample* at[3] = {&samples[k], &samples[0], &samples[n - 1]};
      for (int axis = 0; axis < 2; ++axis) {
        const cv::Point2d dir = axis == 0 ? nrm : d;
        const double scale = axis == 0 ? w : w * host.settings_.straightAlong;
        if (scale <= 0.0) continue;
        for (int t = 0; t < 3; ++t)
          for (int v = 0; v < 3; ++v) {
            const double f = c[t] * at[t]->weight[v];
            if (f == 0.0) continue;
            row.Add(2 * at[t]->vertex[v], f * dir.x);
            row.Add(2 * at[t]->vertex[v] + 1, f * dir.y);
          }
        row.AppendTo(a, scale);
      }
    }
  }
}

}  // namespace quadrix
