// Straight segments kept straight: the rows vanish on every affine map of
// the rest mesh, a long line in a photo stays straight when only one side
// changes, and without the part the energy is the one before it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "core/resize_host.hpp"
#include "core/result_terms.hpp"

using namespace quadrix;

namespace {

const cv::Point kLineFrom(30, 270), kLineTo(370, 30);

// 400 x 300: a textured background, a bright disc that the importance map
// singles out, and a long dark diagonal crossing everything.
cv::Mat LinePhoto() {
  cv::Mat img(300, 400, CV_8UC3);
  cv::RNG rng(7);
  rng.fill(img, cv::RNG::UNIFORM, 110, 140);
  cv::GaussianBlur(img, img, {0, 0}, 2.0);
  cv::circle(img, {120, 110}, 60, cv::Scalar(230, 220, 200), cv::FILLED);
  cv::line(img, kLineFrom, kLineTo, cv::Scalar(20, 20, 20), 3, cv::LINE_AA);
  cv::line(img, {20, 200}, {380, 200}, cv::Scalar(40, 40, 40), 2, cv::LINE_AA);
  return img;
}

// Importance: high on the disc and on the right, low elsewhere, so that the
// plain minimum of the energy is far from plain scaling.
cv::Mat LineImportance() {
  cv::Mat sal(300, 400, CV_8UC1, cv::Scalar(30));
  cv::circle(sal, {120, 110}, 70, cv::Scalar(255), cv::FILLED);
  cv::rectangle(sal, cv::Rect(300, 0, 100, 300), cv::Scalar(200), cv::FILLED);
  return sal;
}

struct Built {
  ResizeHost host;
  TripletMatrix energy;
};

std::unique_ptr<Built> Build(bool straight, bool scaleTerm = true) {
  auto b = std::make_unique<Built>();
  ResizeHost& h = b->host;
  ResizeSettings settings;
  settings.parts = ResultParts::Classic();
  settings.parts.straight = straight;
  settings.useScaleTerm = scaleTerm;
  settings.printDiagnostics = false;
  settings.minScale = 0.0;  // the plain minimum: what the rows alone achieve
  h = ResizeHost(settings);
  if (!h.LoadImportance(LinePhoto(), LineImportance())) std::abort();
  h.SetEnergyObserver([&b](const TripletMatrix& a) { b->energy = a; });
  h.BuildEquationA();
  return b;
}

// An aligned pixel through the solved mesh as it is drawn (TL,TR,BR and
// TL,BR,BL per quad).
cv::Point2d Map(const ResizeHost& h, cv::Point2d p) {
  const int q = h.settings().quadSize, C = h.quadCountX();
  const int i = std::clamp(static_cast<int>(p.x / q), 0, C - 1);
  const int j = std::clamp(static_cast<int>(p.y / q), 0, h.quadCountY() - 1);
  const double u = p.x / q - i, v = p.y / q - j;
  auto at = [&](int jj, int ii) {
    const size_t k = 2 * static_cast<size_t>(jj * (C + 1) + ii);
    return cv::Point2d(h.solution64()[k], h.solution64()[k + 1]);
  };
  const cv::Point2d a = at(j, i), b = at(j, i + 1), c = at(j + 1, i), d = at(j + 1, i + 1);
  return u >= v ? a + u * (b - a) + v * (d - b) : a + v * (c - a) + u * (d - c);
}

// The largest distance of the mapped segment from the chord of its ends.
double Bend(const ResizeHost& h, cv::Point2d from, cv::Point2d to) {
  const cv::Point2d a = Map(h, from), b = Map(h, to);
  const cv::Point2d d = (b - a) / std::hypot(b.x - a.x, b.y - a.y);
  double worst = 0.0;
  for (int k = 0; k <= 400; ++k) {
    const cv::Point2d m = Map(h, from + (to - from) * (k / 400.0)) - a;
    worst = std::max(worst, std::abs(m.x * d.y - m.y * d.x));
  }
  return worst;
}

// |A x| over the rows from `firstRow` on.
double RowNorm(const TripletMatrix& a, int firstRow, const std::vector<double>& x) {
  std::vector<double> r(static_cast<size_t>(a.m), 0.0);
  for (const Triplet& t : a.entries) r[static_cast<size_t>(t.row)] += t.value * x[t.col];
  double s = 0.0;
  for (int k = firstRow; k < a.m; ++k) s += r[static_cast<size_t>(k)] * r[static_cast<size_t>(k)];
  return std::sqrt(s);
}

}  // namespace

TEST(StraightSegments, DetectedOnceAndRowsVanishOnAffineMapsOnly) {
  auto b = Build(true);
  ResizeHost& h = b->host;
  ASSERT_TRUE(h.straightSegments());
  // The diagonal and the horizontal line are found (LSD may split or double
  // a thick line, so look for one of each direction that is long).
  bool diagonal = false, horizontal = false;
  for (const cv::Vec4f& s : *h.straightSegments()) {
    const double len = std::hypot(s[2] - s[0], s[3] - s[1]);
    EXPECT_GE(len, h.settings().straightMinLength * h.settings().quadSize);
    if (len > 200 && std::abs(std::abs((s[3] - s[1]) / (s[2] - s[0])) - 240.0 / 340) < 0.05)
      diagonal = true;
    if (len > 200 && std::abs(s[3] - s[1]) < 2) horizontal = true;
  }
  EXPECT_TRUE(diagonal);
  EXPECT_TRUE(horizontal);

  TripletMatrix rows;
  rows.n = h.coordCount();
  AppendStraightSegmentRows(h, rows);
  ASSERT_GT(rows.m, 20);
  for (const Triplet& t : rows.entries) {
    ASSERT_GE(t.col, 0);
    ASSERT_LT(t.col, 2 * (h.quadCountX() + 1) * (h.quadCountY() + 1));  // grid vertices only
  }

  // Plain scaling, and any affine map, keeps a zero energy.
  std::vector<double> x(h.restCoords().size());
  for (size_t k = 0; k + 1 < x.size(); k += 2) {
    const double px = h.restCoords()[k], py = h.restCoords()[k + 1];
    x[k] = 2.7 * px + 0.4 * py + 13.0;
    x[k + 1] = -0.3 * px + 0.6 * py - 5.0;
  }
  EXPECT_LT(RowNorm(rows, 0, x), 1e-9);
  // A bend across the diagonal (one vertex it passes moved off) does not.
  const size_t v = 2 * static_cast<size_t>(7 * (h.quadCountX() + 1) + 10);
  x[v + 1] += 3.0;
  EXPECT_GT(RowNorm(rows, 0, x), 0.1);

  // A host for another map keeps the segments rather than detecting again.
  cv::Mat other(h.imgSal().size(), CV_32FC1, cv::Scalar(0.5f));
  ResizeHost copy = h.CopyForImportance(other);
  EXPECT_EQ(copy.straightSegments().get(), h.straightSegments().get());
  EXPECT_EQ(copy.settings().straightWeight, h.settings().straightWeight);
}

TEST(StraightSegments, OffGivesExactlyTheEnergyWithoutThem) {
  auto on = Build(true);
  auto off = Build(false);
  EXPECT_FALSE(off->host.straightSegments());
  const TripletMatrix& a = on->energy;
  const TripletMatrix& b = off->energy;
  ASSERT_GT(a.m, b.m);
  // The rows before the segments' are the same, entry for entry.
  size_t k = 0;
  for (; k < a.entries.size() && a.entries[k].row < b.m; ++k) {
    ASSERT_LT(k, b.entries.size());
    EXPECT_EQ(a.entries[k].row, b.entries[k].row);
    EXPECT_EQ(a.entries[k].col, b.entries[k].col);
    EXPECT_EQ(a.entries[k].value, b.entries[k].value);
  }
  EXPECT_EQ(k, b.entries.size());
}

TEST(StraightSegments, LongDiagonalStaysStraightWhenOneSideChangesALot) {
  auto on = Build(true);
  auto off = Build(false);
  for (auto [w, h] : {std::pair{1000, 300}, std::pair{140, 300}, std::pair{400, 800}}) {
    on->host.Resize(w, h);
    off->host.Resize(w, h);
    const double bentOn = Bend(on->host, kLineFrom, kLineTo);
    const double bentOff = Bend(off->host, kLineFrom, kLineTo);
    const double horizontalOn = Bend(on->host, {20, 200}, {380, 200});
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    EXPECT_LT(bentOn, 1.0);
    EXPECT_LT(horizontalOn, 1.0);
    // Without the rows the content-aware warp bends it visibly.
    EXPECT_GT(bentOff, 3.0);
  }
}
