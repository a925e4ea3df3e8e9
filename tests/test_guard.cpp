// The guard against folding: its rows, and the guarded solve on photos.

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <Eigen/SparseCore>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "core/mesh_guard.hpp"
#include "core/resize_host.hpp"
#include "test_support.hpp"

using namespace quadrix;

namespace {

struct RowView {
  std::vector<std::pair<int, double>> entries;
  double bw, bh;
};

RowView Row(const GuardRows& g, int r) {
  RowView v{{}, g.boundW[r], g.boundH[r]};
  for (int k = g.start[r]; k < g.start[r + 1]; ++k) v.entries.emplace_back(g.col[k], g.coef[k]);
  std::sort(v.entries.begin(), v.entries.end());
  return v;
}

}  // namespace

TEST(MeshGuard, RowsAndBoundsOfATwoByOneGrid) {
  // 3 x 2 vertices: points 0 1 2 / 3 4 5.
  const MeshGuard g = BuildMeshGuard(2, 1, 0.25);
  ASSERT_EQ(g.gridRows, 2 * 2 + 3 * 1);
  // x(j, i+1) − x(j, i) >= 0.25·W/2, row by row.
  const std::vector<std::pair<int, int>> horizontal = {{0, 1}, {1, 2}, {3, 4}, {4, 5}};
  for (int r = 0; r < 4; ++r) {
    const RowView v = Row(g.rows, r);
    const auto [p, q] = horizontal[r];
    EXPECT_EQ(v.entries, (std::vector<std::pair<int, double>>{{2 * p, -1.0}, {2 * q, 1.0}})) << r;
    EXPECT_DOUBLE_EQ(v.bw, 0.125);
    EXPECT_EQ(v.bh, 0.0);
  }
  // y(j+1, i) − y(j, i) >= 0.25·H/1, column by column.
  for (int i = 0; i < 3; ++i) {
    const RowView v = Row(g.rows, 4 + i);
    EXPECT_EQ(v.entries,
              (std::vector<std::pair<int, double>>{{2 * i + 1, -1.0}, {2 * (i + 3) + 1, 1.0}}));
    EXPECT_EQ(v.bw, 0.0);
    EXPECT_DOUBLE_EQ(v.bh, 0.25);
  }
  // Shear rows only where the perpendicular coordinates are free: the inner
  // vertical edge (points 1 -> 4), as a pair of partners.
  for (int32_t h : g.horizontalShear) EXPECT_EQ(h, -1);
  ASSERT_EQ(g.verticalShear.size(), 3u);
  EXPECT_EQ(g.verticalShear[0], -1);
  EXPECT_EQ(g.verticalShear[2], -1);
  const int first = g.verticalShear[1];
  ASSERT_EQ(first, 7);
  ASSERT_EQ(g.rows.Rows(), 9);
  EXPECT_EQ(g.rows.partner[7], 8);
  EXPECT_EQ(g.rows.partner[8], 7);
  // s·(y4 − y1) ∓ (x4 − x1) >= 0.
  const double s = kShearSlope;
  EXPECT_EQ(Row(g.rows, 7).entries,
            (std::vector<std::pair<int, double>>{{2, 1.0}, {3, -s}, {8, -1.0}, {9, s}}));
  EXPECT_EQ(Row(g.rows, 8).entries,
            (std::vector<std::pair<int, double>>{{2, -1.0}, {3, -s}, {8, 1.0}, {9, s}}));
  EXPECT_EQ(Row(g.rows, 7).bw, 0.0);
  EXPECT_EQ(Row(g.rows, 7).bh, 0.0);
  const std::vector<char> on = GridRowsEnabled(g);
  EXPECT_EQ(std::count(on.begin(), on.end(), 1), 7);
}

TEST(MeshGuard, ThinTrianglesBringInTheShearRowsOfTheirEdges) {
  // 2 x 2 quads over 40 x 40 at their rest positions, then the centre vertex
  // (point 4) pulled right past its neighbour and up: the top-left quad's
  // triangles stay, the bottom-right quad's top-right triangle turns over.
  const MeshGuard g = BuildMeshGuard(2, 2, 0.3);
  std::vector<double> x(18);
  for (int j = 0; j <= 2; ++j)
    for (int i = 0; i <= 2; ++i) {
      x[2 * (3 * j + i)] = 20.0 * i;
      x[2 * (3 * j + i) + 1] = 20.0 * j;
    }
  EXPECT_TRUE(FindThinTriangles(g, 40, 40, x).empty());
  x[8] = 45;
  x[9] = 10;
  const std::vector<ThinTriangle> thin = FindThinTriangles(g, 40, 40, x);
  ASSERT_FALSE(thin.empty());
  bool bottomRightTop = false, topLeft = false;
  for (const ThinTriangle& t : thin) {
    bottomRightTop |= t.j == 1 && t.i == 1 && t.t == 0;
    topLeft |= t.j == 0 && t.i == 0;
  }
  EXPECT_TRUE(bottomRightTop);
  EXPECT_FALSE(topLeft);
  std::vector<char> on = GridRowsEnabled(g);
  EXPECT_GT(EnableShearRows(g, thin, on), 0);
  // The top edge of quad (1, 1) is the horizontal edge from point 4 to 5.
  EXPECT_TRUE(on[g.horizontalShear[1 * 2 + 1]]);
  EXPECT_TRUE(on[g.rows.partner[g.horizontalShear[1 * 2 + 1]]]);
  EXPECT_EQ(EnableShearRows(g, thin, on), 0) << "nothing twice";
}

TEST(MeshGuard, MinimumScaleFromTextAndEnvironment) {
  EXPECT_EQ(ParseMinScale("none"), 0.0);
  EXPECT_EQ(ParseMinScale("0.25"), 0.25);
  EXPECT_EQ(ParseMinScale(".5"), 0.5);
  for (const char* bad :
       {"0", "1", "-0.2", "1.5", "abc", "", " 0.3", "0.3x", "nan", "inf", "0x0.8", "None"})
    EXPECT_FALSE(ParseMinScale(bad).has_value()) << bad;
  ::setenv("QUADRIX_MIN_SCALE", "0.2", 1);
  EXPECT_EQ(MinScaleFromEnvironment(), 0.2);
  ::setenv("QUADRIX_MIN_SCALE", "none", 1);
  EXPECT_EQ(MinScaleFromEnvironment(), 0.0);
  ::setenv("QUADRIX_MIN_SCALE", "2", 1);
  EXPECT_THROW(MinScaleFromEnvironment(), std::invalid_argument);
  ::unsetenv("QUADRIX_MIN_SCALE");
  EXPECT_EQ(MinScaleFromEnvironment(), kDefaultMinScale);
}

namespace {

// A photo built once per mode with the default guard on the plain mesh
// energy; the energy is kept.
struct GuardedPhoto {
  ResizeHost host;
  TripletMatrix energy;
  GuardedPhoto(const cv::Mat& src, bool scaleTerm, double minScale = kDefaultMinScale) {
    ResizeSettings settings;
    settings.useScaleTerm = scaleTerm;
    settings.parts = ResultParts::Classic();
    settings.minScale = minScale;
    host = ResizeHost(settings);
    if (!host.LoadImage(src.clone(), nullptr)) std::abort();
    host.SetEnergyObserver([this](const TripletMatrix& a) { energy = a; });
    std::streambuf* old = std::cout.rdbuf(nullptr);
    host.BuildEquationA();
    std::cout.rdbuf(old);
  }
};

GuardedPhoto& Sample(bool scaleTerm) {
  static GuardedPhoto mode0(testsupport::Sample({400, 300}), false);
  static GuardedPhoto mode1(testsupport::Sample({400, 300}), true);
  return scaleTerm ? mode1 : mode0;
}

double RowValue(const GuardRows& g, int r, const std::vector<double>& x) {
  double v = 0;
  for (int k = g.start[r]; k < g.start[r + 1]; ++k) v += g.coef[k] * x[g.col[k]];
  return v;
}

// Twice the signed area of each drawn triangle (two per quad, split from
// top-left to bottom-right), smallest first.
double SmallestTriangle(const ResizeHost& h) {
  const int C = h.quadCountX(), R = h.quadCountY();
  auto X = [&](int j, int i) { return h.solution64()[2 * (j * (C + 1) + i)]; };
  auto Y = [&](int j, int i) { return h.solution64()[2 * (j * (C + 1) + i) + 1]; };
  double smallest = 1e300;
  for (int j = 0; j < R; ++j)
    for (int i = 0; i < C; ++i) {
      const double ax = X(j, i), ay = Y(j, i);
      const double bx = X(j, i + 1) - ax, by = Y(j, i + 1) - ay;  // top-right
      const double cx = X(j + 1, i + 1) - ax, cy = Y(j + 1, i + 1) - ay;
      const double dx = X(j + 1, i) - ax, dy = Y(j + 1, i) - ay;  // bottom-left
      smallest = std::min({smallest, bx * cy - by * cx, cx * dy - cy * dx});
    }
  return smallest;
}

class GuardedSolve : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(GuardedSolve, WhereNothingFoldsNothingChanges) {
  ResizeHost& h = Sample(GetParam()).host;
  int checked = 0;
  for (cv::Size s : {cv::Size(400, 300), cv::Size(420, 300), cv::Size(380, 300), cv::Size(400, 320),
                     cv::Size(800, 600), cv::Size(410, 290)}) {
    h.Resize(s.width, s.height);
    const std::vector<double> guarded = h.solution64();
    std::vector<double> plain;
    h.solver().Solve(s.width, s.height, nullptr, plain);
    bool keeps = true;
    for (int r = 0; r < h.guard().gridRows; ++r)
      keeps &= RowValue(h.guard().rows, r, plain) >=
               s.width * h.guard().rows.boundW[r] + s.height * h.guard().rows.boundH[r];
    if (!keeps) continue;
    ++checked;
    for (size_t k = 0; k < plain.size(); ++k) ASSERT_NEAR(guarded[k], plain[k], 1e-6) << s;
  }
  EXPECT_GE(checked, 4);
}

TEST_P(GuardedSolve, MinimumUnderTheGuardPassesTheOptimalityConditions) {
  GuardedPhoto& p = Sample(GetParam());
  ResizeHost& h = p.host;
  // Mode 0 holds the active rows through the penalised factor, mode 1
  // through the Schur complement.
  h.solver().SetSchurLimit(GetParam() ? 100000 : 0);
  // The energy's gradient A'A·x over the free coordinates.
  std::vector<Eigen::Triplet<double>> t;
  for (const Triplet& e : p.energy.entries) t.emplace_back(e.row, e.col, e.value);
  Eigen::SparseMatrix<double> A(p.energy.m, p.energy.n);
  A.setFromTriplets(t.begin(), t.end());
  std::vector<char> fixed(h.coordCount(), 0);
  for (int32_t c : h.ind()) fixed[c - 1] = 1;
  std::vector<int> freeAt(h.coordCount(), -1);
  int nf = 0;
  for (int c = 0; c < h.coordCount(); ++c)
    if (!fixed[c]) freeAt[c] = nf++;

  int mostActive = 0;
  for (cv::Size s : {cv::Size(800, 300), cv::Size(400, 150), cv::Size(250, 300), cv::Size(560, 240),
                     cv::Size(1200, 300), cv::Size(140, 300)}) {
    SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
    h.Resize(s.width, s.height);
    const std::vector<double>& x = h.solution64();
    const Eigen::Map<const Eigen::VectorXd> xv(x.data(), h.coordCount());
    const Eigen::VectorXd grad = A.transpose() * (A * xv);
    Eigen::VectorXd g(nf);
    for (int c = 0; c < h.coordCount(); ++c)
      if (freeAt[c] >= 0) g[freeAt[c]] = grad[c];
    // Every held row kept; the ones at their bound are the active ones.
    std::vector<int> active;
    for (int r = 0; r < h.guard().rows.Rows(); ++r) {
      if (!h.guardRowsHeld()[r]) continue;
      const double slack = RowValue(h.guard().rows, r, x) - (s.width * h.guard().rows.boundW[r] +
                                                             s.height * h.guard().rows.boundH[r]);
      ASSERT_GE(slack, -1e-6) << "row " << r;
      if (slack < 1e-7) active.push_back(r);
    }
    mostActive = std::max(mostActive, static_cast<int>(active.size()));
    RecordProperty("active_rows_" + std::to_string(s.width) + "x" + std::to_string(s.height),
                   static_cast<int>(active.size()));
    // The gradient is a combination of the active rows with multipliers of
    // one sign (least squares over the free coordinates).
    Eigen::MatrixXd Nt = Eigen::MatrixXd::Zero(nf, static_cast<Eigen::Index>(active.size()));
    for (size_t k = 0; k < active.size(); ++k)
      for (int e = h.guard().rows.start[active[k]]; e < h.guard().rows.start[active[k] + 1]; ++e)
        if (freeAt[h.guard().rows.col[e]] >= 0)
          Nt(freeAt[h.guard().rows.col[e]], static_cast<Eigen::Index>(k)) = h.guard().rows.coef[e];
    const Eigen::VectorXd lambda = Nt.colPivHouseholderQr().solve(g);
    const double scale = g.lpNorm<Eigen::Infinity>();
    EXPECT_LT((Nt * lambda - g).lpNorm<Eigen::Infinity>(), 1e-6 * scale);
    EXPECT_GT(lambda.minCoeff(), -1e-6 * lambda.lpNorm<Eigen::Infinity>());
    EXPECT_GT(SmallestTriangle(h), 0.0);
  }
  EXPECT_GT(mostActive, 50);
}

INSTANTIATE_TEST_SUITE_P(BothModes, GuardedSolve, ::testing::Bool());

TEST(GuardedSolve, NoTriangleTurnsOverFromAThirdToThreeTimesEachSide) {
  const cv::Mat butterfly =
      cv::imread(std::string(QUADRIX_SOURCE_DIR) + "/tests/data/butterfly.jpg");
  ASSERT_FALSE(butterfly.empty());
  for (const auto& [name, photo] :
       {std::pair{"building", testsupport::Sample()}, std::pair{"butterfly", butterfly}})
    for (bool mode : {false, true}) {
      GuardedPhoto p(photo, mode);
      ResizeHost& h = p.host;
      const int W = h.srcWidth(), H = h.srcHeight();
      for (cv::Size s : {cv::Size(W * 3 / 10, H), cv::Size(W * 3, H), cv::Size(W, H * 3 / 10),
                         cv::Size(W, H * 3), cv::Size(W * 3 / 10, H * 3),
                         cv::Size(W * 3, H * 3 / 10), cv::Size(W * 3 / 10, H * 2)}) {
        h.Resize(s.width, s.height);
        EXPECT_GT(SmallestTriangle(h), 0.0)
            << name << " mode " << mode << " at " << s.width << "x" << s.height;
      }
    }
}

TEST(GuardedSolve, AHostForAnotherMapKeepsTheLinesAndStartsFromTheRowsHeld) {
  GuardedPhoto& p = Sample(true);
  ResizeHost& h = p.host;
  const cv::Size size(900, 250);
  h.Resize(size.width, size.height);
  ASSERT_FALSE(h.solver().LastActiveRows().empty()) << "the guard holds rows at this size";

  // A protected patch, as a brush paints it.
  cv::Mat painted = h.imgSal().clone();
  painted(cv::Rect(40, 60, 120, 100)).setTo(1.0f);
  auto build = [&](bool warm) {
    ResizeHost copy = h.CopyForImportance(painted);
    EXPECT_EQ(copy.lineLabels().data, h.lineLabels().data) << "the lines are not detected again";
    std::streambuf* old = std::cout.rdbuf(nullptr);
    copy.BuildEquationA();
    std::cout.rdbuf(old);
    if (!warm) copy.solver().ForgetActiveSets();
    copy.Resize(size.width, size.height);
    return copy;
  };
  const ResizeHost warm = build(true);
  const ResizeHost cold = build(false);
  EXPECT_EQ(warm.restCoords(), h.restCoords());
  EXPECT_LE(warm.solver().LastStats().iterations, cold.solver().LastStats().iterations);
  ASSERT_EQ(warm.solution64().size(), cold.solution64().size());
  for (size_t k = 0; k < warm.solution64().size(); ++k)
    ASSERT_NEAR(warm.solution64()[k], cold.solution64()[k], 1e-6) << k;
  // The patch changed the picture.
  double moved = 0;
  for (size_t k = 0; k < warm.solution64().size(); ++k)
    moved = std::max(moved, std::abs(warm.solution64()[k] - h.solution64()[k]));
  EXPECT_GT(moved, 1.0);
}
