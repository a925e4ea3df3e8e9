// Compact objects keep their shape: each detected face and round object gets
// one similarity unit over the grid vertices inside it, so the whole object
// moves by one rotation, scale and shift instead of each quad on its own.

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "core/result_terms.hpp"
#include "saliency/face_detect.hpp"
#include "saliency/round_objects.hpp"

namespace quadrix {

namespace {

// The unit's rows are multiplied by this, as a quad's are by its importance
// (at most 1): as firm as a region of top importance, no more, so that the
// rest of the photo can still take up a change of aspect.
constexpr double kShapeWeight = 1.0;
// A round object the map already singles out (its inside near the top of
// the range and clearly above its surroundings) keeps its shape through the
// quads' own weights.
constexpr double kSalientInside = 0.75;
constexpr double kSalientContrast = 1.6;
// Larger objects are the photo rather than a subject in it: holding them
// would fight the border.
constexpr double kMaxObjectShare = 0.9;
// A patch of one colour over more than this share of the photo's area is
// ground (a plain wall, a stretch of sky): holding its shape leaves the
// rest too little room, and the subjects beside it are squeezed instead.
constexpr double kMaxObjectArea = 0.15;
constexpr size_t kMaxUnitPoints = 36;

struct Region {
  cv::Point2d centre;         // aligned pixels
  double ax = 0.0, ay = 0.0;  // semi-axes along the turned axes
  double cosA = 1.0, sinA = 0.0;
  bool face = false;

  Region(const cv::RotatedRect& e, bool isFace)
      : centre(e.center),
        ax(0.5 * e.size.width),
        ay(0.5 * e.size.height),
        cosA(std::cos(e.angle * CV_PI / 180)),
        sinA(std::sin(e.angle * CV_PI / 180)),
        face(isFace) {}
  // Distance from the centre in semi-axes, grown by `grow` pixels each.
  double Radius(double x, double y, double grow = 0.0) const {
    const double dx = x - centre.x;
    const double dy = y - centre.y;
    const double u = (dx * cosA + dy * sinA) / (ax + grow);
    const double v = (-dx * sinA + dy * cosA) / (ay + grow);
    return std::sqrt(u * u + v * v);
  }
  double Reach() const { return std::max(ax, ay); }
};

// Mean importance over an ellipse ring between radii r0 and r1 (in units of
// the region's semi-axes).
double MeanImportance(const cv::Mat& sal32F, const Region& g, double r0, double r1) {
  double sum = 0.0;
  int count = 0;
  const double reach = r1 * g.Reach();
  const int x0 = std::max(0, cvFloor(g.centre.x - reach));
  const int x1 = std::min(sal32F.cols - 1, cvCeil(g.centre.x + reach));
  const int y0 = std::max(0, cvFloor(g.centre.y - reach));
  const int y1 = std::min(sal32F.rows - 1, cvCeil(g.centre.y + reach));
  for (int y = y0; y <= y1; ++y) {
    const float* row = sal32F.ptr<float>(y);
    for (int x = x0; x <= x1; ++x) {
      const double r = g.Radius(x + 0.5, y + 0.5);
      if (r < r0 || r >= r1) continue;
      sum += row[x];
      ++count;
    }
  }
  return count > 0 ? sum / count : 0.0;
}

// The host's faces and those of `objects` that are not important already.
std::vector<Region> ShapeRegions(const ResizeHost& host,
                                 const std::vector<cv::RotatedRect>& objects) {
  std::vector<Region> regions;
  for (const cv::Rect& f : host.faces()) regions.emplace_back(FaceRegion(f), true);
  const double shorter = std::min(host.srcWidth(), host.srcHeight());
  const double area = static_cast<double>(host.srcWidth()) * host.srcHeight();
  for (const cv::RotatedRect& e : objects) {
    const Region g(e, false);
    if (2 * g.Reach() > kMaxObjectShare * shorter) continue;
    if (CV_PI * g.ax * g.ay > kMaxObjectArea * area) continue;
    const double inside = MeanImportance(host.imgSal(), g, 0.0, 1.0);
    const double around = MeanImportance(host.imgSal(), g, 1.0, 1.5);
    if (inside >= kSalientInside && inside >= kSalientContrast * around) continue;
    regions.push_back(g);
  }
  return regions;
}

}  // namespace

void AppendShapeRows(ResizeHost& host, TripletMatrix& a) {
  const int C = host.quadCountX();
  const int R = host.quadCountY();
  const double q = host.settings().quadSize;
  if (!host.compactObjectsFound_) {
    host.compactObjects_ = FindCompactObjects(host.imgSrc(), 1.5 * q);
    host.compactObjectsFound_ = true;
  }
  const std::vector<Region> regions = ShapeRegions(host, host.compactObjects_);
  std::vector<ConstrainUnits> units;
  for (const Region& g : regions) {
    // Vertices inside the object, grown by half a quad so that a small one
    // still holds the corners of the quads it lies in.
    const double grow = 0.5 * q;
    const double reach = g.Reach() + grow;
    std::vector<cv::Point> inside;  // (column, row) of the grid vertices
    for (int j = std::max(0, cvFloor((g.centre.y - reach) / q));
         j <= std::min(R, cvCeil((g.centre.y + reach) / q)); ++j)
      for (int i = std::max(0, cvFloor((g.centre.x - reach) / q));
           i <= std::min(C, cvCeil((g.centre.x + reach) / q)); ++i)
        if (g.Radius(i * q, j * q, grow) <= 1.0) inside.emplace_back(i, j);
    // A unit couples all its points with each other (a dense block in the
    // factor): a large object is held through a lattice of its vertices,
    // every step-th row and column through its centre.
    const cv::Point mid(cvRound(g.centre.x / q), cvRound(g.centre.y / q));
    std::vector<cv::Point> kept;
    for (int step = 1;; ++step) {
      kept.clear();
      for (const cv::Point& v : inside)
        if ((v.x - mid.x) % step == 0 && (v.y - mid.y) % step == 0) kept.push_back(v);
      if (kept.size() <= kMaxUnitPoints) break;
    }
    int minI = C, maxI = 0, minJ = R, maxJ = 0;
    for (const cv::Point& v : kept) {
      minI = std::min(minI, v.x), maxI = std::max(maxI, v.x);
      minJ = std::min(minJ, v.y), maxJ = std::max(maxJ, v.y);
    }
    // A unit must span an area to say anything about shape.
    if (kept.size() < 4 || maxI == minI || maxJ == minJ) continue;
    ConstrainUnits unit;
    unit.SetNumber(static_cast<int>(kept.size()));
    for (size_t k = 0; k < kept.size(); ++k) {
      const int p = kept[k].y * (C + 1) + kept[k].x;
      unit.points[k] = {host.restCoords()[2 * p], host.restCoords()[2 * p + 1]};
      unit.indices[k] = p;
    }
    // The residual sums over the points: a thinned unit weighs as much as
    // the whole one would.
    unit.weight = kShapeWeight * std::sqrt(static_cast<double>(inside.size()) / kept.size());
    units.push_back(std::move(unit));
  }
  host.AppendUnitRows(units, a, false);
}

}  // namespace quadrix
