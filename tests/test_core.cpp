#include <gtest/gtest.h>

#include <Eigen/SparseCore>
#include <cmath>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <set>

#include "base/check.hpp"
#include "base/perf_timer.hpp"
#include "core/inputs.hpp"
#include "core/resize_host.hpp"
#include "loaded_host.hpp"
#include "test_support.hpp"

using namespace quadrix;
using testsupport::ClassicSettings;
using testsupport::Loaded;
using testsupport::TempDir;

namespace {

ConstrainUnits Unit(std::vector<cv::Point2d> pts) {
  ConstrainUnits u;
  u.SetNumber(static_cast<int>(pts.size()));
  for (size_t i = 0; i < pts.size(); ++i) {
    u.points[i] = pts[i];
    u.indices[i] = static_cast<int32_t>(i);
  }
  u.weight = 1.0;
  return u;
}

// Quad corners in unit order: top-left, bottom-left, top-right, bottom-right.
ConstrainUnits SquareQuad(double x, double y, double s) {
  return Unit({{x, y}, {x, y + s}, {x + s, y}, {x + s, y + s}});
}

cv::Mat Apply(const cv::Mat& C, const std::vector<cv::Point2d>& pts) {
  cv::Mat v(static_cast<int>(2 * pts.size()), 1, CV_64FC1);
  for (size_t i = 0; i < pts.size(); ++i) {
    v.at<double>(static_cast<int>(2 * i)) = pts[i].x;
    v.at<double>(static_cast<int>(2 * i + 1)) = pts[i].y;
  }
  return C * v;
}

std::vector<cv::Point2d> Transform(const ConstrainUnits& u, double scale, double angle,
                                   cv::Point2d shift) {
  std::vector<cv::Point2d> out;
  for (const cv::Point2d& p : u.points)
    out.push_back({scale * (std::cos(angle) * p.x - std::sin(angle) * p.y) + shift.x,
                   scale * (std::sin(angle) * p.x + std::cos(angle) * p.y) + shift.y});
  return out;
}

}  // namespace

TEST(ResidualMatrix, SquareQuadHasTheKnownEntries) {
  for (const ConstrainUnits& q :
       {SquareQuad(0, 0, 20), SquareQuad(140, 60, 20), SquareQuad(3, 7, 5)}) {
    const cv::Mat S = ComputeSimilarityMatrix(q);
    const cv::Mat U = ComputeScaleMatrix(q);
    ASSERT_EQ(S.size(), cv::Size(8, 8));
    const double s0[8] = {-0.5, 0, 0.25, -0.25, 0.25, 0.25, 0, 0};
    const double s1[8] = {0, -0.5, 0.25, 0.25, -0.25, 0.25, 0, 0};
    const double u0[8] = {-0.625, 0.125, 0.375, -0.125, 0.125, 0.125, 0.125, -0.125};
    for (int c = 0; c < 8; ++c) {
      EXPECT_NEAR(S.at<double>(0, c), s0[c], 1e-12);
      EXPECT_NEAR(S.at<double>(1, c), s1[c], 1e-12);
      EXPECT_NEAR(U.at<double>(0, c), u0[c], 1e-12);
      EXPECT_NEAR(S.at<double>(c, c), -0.5, 1e-12);
      EXPECT_NEAR(U.at<double>(c, c), -0.625, 1e-12);
    }
  }
}

TEST(ResidualMatrix, SymmetricAndBlindToTranslation) {
  const ConstrainUnits five = Unit({{0, 0}, {0, 20}, {20, 0}, {20, 20}, {13, 4}});
  const ConstrainUnits line = Unit({{30, 10}, {50, 31}, {70, 29}, {91, 52}});
  for (const ConstrainUnits* u : {&five, &line}) {
    for (const cv::Mat& C : {ComputeSimilarityMatrix(*u), ComputeScaleMatrix(*u)}) {
      ASSERT_EQ(C.rows, 2 * u->n);
      for (int r = 0; r < C.rows; ++r) {
        double sx = 0, sy = 0;
        for (int c = 0; c < C.cols; ++c) {
          EXPECT_NEAR(C.at<double>(r, c), C.at<double>(c, r), 1e-12);
          (c % 2 == 0 ? sx : sy) += C.at<double>(r, c);
        }
        EXPECT_NEAR(sx, 0.0, 1e-12);
        EXPECT_NEAR(sy, 0.0, 1e-12);
      }
    }
  }
}

TEST(ResidualMatrix, VanishesExactlyOnItsTransformFamily) {
  const ConstrainUnits u = Unit({{0, 0}, {0, 20}, {20, 0}, {20, 20}, {7, 12}});
  const cv::Mat S = ComputeSimilarityMatrix(u);
  const cv::Mat U = ComputeScaleMatrix(u);
  const auto rotated = Transform(u, 1.7, 0.4, {-30, 12});
  const auto scaled = Transform(u, 0.6, 0.0, {5, 90});
  const auto sheared = std::vector<cv::Point2d>{{0, 0}, {5, 20}, {20, 0}, {25, 20}, {10, 12}};
  EXPECT_LT(cv::norm(Apply(S, rotated)), 1e-9);
  EXPECT_LT(cv::norm(Apply(S, scaled)), 1e-9);
  EXPECT_LT(cv::norm(Apply(U, scaled)), 1e-9);
  EXPECT_GT(cv::norm(Apply(U, rotated)), 1.0);  // the scale term refuses rotation
  EXPECT_GT(cv::norm(Apply(S, sheared)), 1.0);
}

TEST(FixedCoordinates, IndicesAndValuesForTwoByOneQuads) {
  std::vector<int32_t> ind;
  BuildFixedIndices(ind, 2, 1);
  for (int32_t& v : ind) ++v;
  EXPECT_EQ(ind, (std::vector<int32_t>{2, 8, 4, 10, 6, 12, 1, 5, 7, 11}));
  std::vector<double> vals = {42.0};
  BuildFixedValues(vals, 2, 1, 300, 100);
  EXPECT_EQ(vals, (std::vector<double>{0, 100, 0, 100, 0, 100, 0, 300, 0, 300}));
  // No coordinate is fixed twice, whatever the grid.
  BuildFixedIndices(ind, 7, 4);
  EXPECT_EQ(std::set<int32_t>(ind.begin(), ind.end()).size(), ind.size());
  EXPECT_EQ(ind.size(), 2u * 8 + 2u * 5);
}

TEST(AssertionReport, NamesTheCheckItsFileLineAndRoutine) {
  // Status -3 (internal error), the expression, the routine, the source and the line.
  const int line = __LINE__ + 3;
  auto fail = [] {
    const int x = 0;
    QX_CHECK(x > 1);
  };
  try {
    fail();
    FAIL() << "no exception";
  } catch (const quadrix::AssertionError& e) {
    EXPECT_EQ(e.report().code, cv::Error::StsInternal);
    EXPECT_EQ(e.kind(), quadrix::ErrorKind::kInternal);
    EXPECT_TRUE(testsupport::Contains(e.what(), "tests/test_core\\.cpp:" + std::to_string(line) +
                                                    ": error: \\(-3:Internal error\\) Assertion: "
                                                    "x > 1 failed in function '"))
        << e.what();
  }
  // What the programs print before they end with status 1: the report, one line.
  EXPECT_EXIT(
      {
        try {
          quadrix::AssertionFailed("Foo::Bar", "x > 1", "core/x.cpp", 42);
        } catch (const quadrix::Error& e) {
          quadrix::ReportAssertion(e);
        }
        std::exit(1);
      },
      ::testing::ExitedWithCode(1), "^[^\n]*Assertion: x > 1 failed in function 'Foo::Bar'\n$");
  // Routine names without return type, namespace or parameters.
  EXPECT_EQ(quadrix::RoutineName("void quadrix::ResizeHost::Resize(int, int)"),
            "ResizeHost::Resize");
  EXPECT_EQ(quadrix::RoutineName("cv::Mat quadrix::detail::Grid<std::pair<int, int> >(int)"),
            "detail::Grid<std::pair<int, int> >");
  EXPECT_EQ(quadrix::RoutineName("int main()"), "main");
}

TEST(ConstrainUnits, ZeroPointsIsAnInternalError) {
  ConstrainUnits u;
  EXPECT_TRUE(testsupport::Contains(testsupport::AssertionReport([&] { u.SetNumber(0); }),
                                    "core/energy_assembly\\.cpp:[0-9]+: .*Assertion: n != 0 "
                                    "failed.*ConstrainUnits::SetNumber"));
}

TEST(LinePoints, ChoiceGroupingAndNumbering) {
  // 5 x 3 quads of 20 pixels; label image as the detector leaves it.
  cv::Mat lab = cv::Mat::zeros(60, 100, CV_32SC1);
  auto put = [&](int x, int y, int l) { lab.at<int32_t>(y, x) = l; };
  // Line 1 through quads (0,1), (1,2), (1,3); pixels on border lines never count.
  put(40, 30, 1);
  put(33, 12, 1);  // t = 7 in quad (0,1), beaten by the centre pixel below
  put(30, 10, 1);
  put(50, 30, 1);
  put(71, 31, 1);  // t = 9
  put(69, 29, 1);  // t = 9 as well, and earlier in scan order: kept
  // Line 2 crosses only two quads: dropped.
  put(10, 50, 2);
  put(30, 50, 2);
  // Line 3 wins quad (2,3) from line 4 by distance; line 4 keeps two quads and goes.
  put(70, 50, 3);
  put(90, 50, 3);
  put(50, 50, 3);
  put(64, 44, 4);
  put(10, 10, 4);
  put(90, 10, 4);
  const QuadLinePoints lp = ChooseLinePoints(lab, 20, 5, 3, 0.0);
  ASSERT_EQ(lp.lines.size(), 2u);
  EXPECT_EQ(lp.lines[0], (std::vector<cv::Point>{{1, 0}, {2, 1}, {3, 1}}));
  EXPECT_EQ(lp.lines[1], (std::vector<cv::Point>{{2, 2}, {3, 2}, {4, 2}}));
  EXPECT_EQ(lp.pointCount, 24 + 6);
  EXPECT_EQ(lp.pointNumber[0 * 5 + 1], 24);
  EXPECT_EQ(lp.pointNumber[1 * 5 + 2], 25);
  EXPECT_EQ(lp.pointNumber[1 * 5 + 3], 26);
  EXPECT_EQ(lp.pointNumber[2 * 5 + 0], -1);  // line 2 dropped
  EXPECT_EQ(lp.pointNumber[0 * 5 + 0], -1);  // line 4 dropped
  EXPECT_EQ(lp.linePoint[1], cv::Point2d(30, 10));
  EXPECT_EQ(lp.linePoint[1 * 5 + 3], cv::Point2d(69, 29));
  EXPECT_EQ(lp.linePoint[2 * 5 + 3], cv::Point2d(70, 50));
  EXPECT_EQ(lp.lineOfQuad[1 * 5 + 2], 0);
  EXPECT_EQ(lp.lineOfQuad[2 * 5 + 4], 1);
  // A margin of half a quad leaves nothing.
  EXPECT_TRUE(ChooseLinePoints(lab, 20, 5, 3, 0.5).lines.empty());
}

TEST(Host, SmallFlatImageNumberingAndDiagnostics) {
  Loaded l(cv::Mat(60, 100, CV_8UC3, cv::Scalar(90, 120, 150)),
           cv::Mat(60, 100, CV_8UC1, cv::Scalar(200)));
  ASSERT_TRUE(l.Load());
  testing::internal::CaptureStdout();
  l.host.BuildEquationA();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "quads.size=15\nquad5s.size=0\nedges.size=0\nA.m=120 A.n=48\n");
  EXPECT_EQ(l.host.quadCountX(), 5);
  EXPECT_EQ(l.host.quadCountY(), 3);
  EXPECT_EQ(l.host.coordCount(), 48);
  // Vertex (row 1, column 2) is point 8 at (40, 20); the last vertex at the far corner.
  EXPECT_EQ(l.host.restCoords()[16], 40.0);
  EXPECT_EQ(l.host.restCoords()[17], 20.0);
  EXPECT_EQ(l.host.restCoords()[46], 100.0);
  EXPECT_EQ(l.host.restCoords()[47], 60.0);
  ASSERT_EQ(l.host.ind().size(), 2u * 6 + 2u * 4);
  EXPECT_EQ(l.host.ind()[0], 2);  // 1-based: y of vertex 0

  // A second host shares the engine connection (none for the built-in one).
  ResizeHost other;
  EXPECT_EQ(other.engine(), l.host.engine());
}

TEST(Host, FlatImportanceGivesUniformScalingAndTimingsFollowTheSwitch) {
  Loaded l(cv::Mat(60, 100, CV_8UC3, cv::Scalar(90, 120, 150)),
           cv::Mat(60, 100, CV_8UC1, cv::Scalar(200)), true);
  ASSERT_TRUE(l.Load());
  testing::internal::CaptureStdout();
  l.host.BuildEquationA();
  l.host.Resize(250, 90);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("time used"), std::string::npos);
  ASSERT_EQ(l.host.solution().size(), 48u);
  for (int p = 0; p < 24; ++p) {
    EXPECT_NEAR(l.host.solution()[2 * p], l.host.restCoords()[2 * p] * 2.5, 1e-3);
    EXPECT_NEAR(l.host.solution()[2 * p + 1], l.host.restCoords()[2 * p + 1] * 1.5, 1e-3);
  }
  printTimings = true;
  testing::internal::CaptureStdout();
  l.host.Resize(90, 90);
  out = testing::internal::GetCapturedStdout();
  printTimings = false;
  // "solve time used <seconds>s"
  const std::string prefix = "solve time used ";
  ASSERT_EQ(out.rfind(prefix, 0), 0u) << out;
  ASSERT_GE(out.size(), prefix.size() + 3);
  EXPECT_EQ(out.substr(out.size() - 2), "s\n") << out;
  EXPECT_GE(std::stod(out.substr(prefix.size())), 0.0);
}

namespace {

// The sample photo at 400 x 300 with a ramp-and-disc importance image, built
// once per mode without the guard (the plain minimum of the energy); the
// energy matrix is kept for checking the solves.
struct PhotoHost {
  std::unique_ptr<Loaded> loaded;
  TripletMatrix energy;
  std::string diagnostics;
  explicit PhotoHost(bool scaleTerm, bool straight = true) {
    const cv::Size size(400, 300);
    ResizeSettings settings = ClassicSettings(scaleTerm);
    settings.parts.straight = straight;
    settings.minScale = 0;
    loaded = std::make_unique<Loaded>(testsupport::Sample(size), testsupport::ImportanceImage(size),
                                      settings);
    ResizeHost& h = loaded->host;
    if (!loaded->Load()) std::abort();
    h.SetEnergyObserver([this](const TripletMatrix& a) { energy = a; });
    testing::internal::CaptureStdout();
    h.BuildEquationA();
    diagnostics = testing::internal::GetCapturedStdout();
  }
  int Count(const std::string& name) const {
    const size_t at = diagnostics.find(name + "=");
    if (at == std::string::npos) return -1;
    return std::stoi(diagnostics.substr(at + name.size() + 1));
  }
};

PhotoHost& Photo(bool scaleTerm) {
  static PhotoHost mode0(false);
  static PhotoHost mode1(true);
  return scaleTerm ? mode1 : mode0;
}

// The same with the plain mesh energy's units alone: the rows they make, and no others.
PhotoHost& UnitsOnly(bool scaleTerm) {
  static PhotoHost mode0(false, false);
  static PhotoHost mode1(true, false);
  return scaleTerm ? mode1 : mode0;
}

class PhotoSolve : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(PhotoSolve, EnergyRowsMatchTheUnits) {
  PhotoHost& p = UnitsOnly(GetParam());
  const int quads = p.Count("quads.size");
  const int quad5s = p.Count("quad5s.size");
  const int edges = p.Count("edges.size");
  EXPECT_EQ(quads + quad5s, 20 * 15);
  EXPECT_GT(quad5s, 0) << "the photo has straight lines";
  EXPECT_GT(edges, 0);
  const int V = 21 * 16;
  const int L = quad5s;
  EXPECT_EQ(p.loaded->host.coordCount(), 2 * (V + L));
  // Every line point sits in exactly one edge unit: edge rows add up to 2 per point.
  const int predicted = (8 * quads + 10 * quad5s) * (GetParam() ? 2 : 1) + 2 * L;
  EXPECT_EQ(p.energy.m, predicted);
  EXPECT_EQ(p.energy.n, p.loaded->host.coordCount());
  std::set<std::pair<int, int>> positions;
  for (const Triplet& t : p.energy.entries) positions.insert({t.row, t.col});
  EXPECT_EQ(positions.size(), p.energy.entries.size()) << "no two triplets share a position";
  const size_t betaLines = GetParam() ? 2 : 0;
  size_t found = 0;
  for (size_t at = 0; (at = p.diagnostics.find("beta=0.5\n", at)) != std::string::npos; ++at)
    ++found;
  EXPECT_EQ(found, betaLines);
}

TEST_P(PhotoSolve, SourceSizeAndSameAspectGiveTheRestMeshScaled) {
  ResizeHost& h = Photo(GetParam()).loaded->host;
  for (double s : {1.0, 0.5, 2.0}) {
    h.Resize(static_cast<int>(400 * s), static_cast<int>(300 * s));
    ASSERT_EQ(h.solution().size(), static_cast<size_t>(h.coordCount()));
    double worst = 0;
    for (size_t k = 0; k < h.solution().size(); ++k)
      worst = std::max(worst, std::abs(h.solution()[k] - h.restCoords()[k] * s));
    EXPECT_LT(worst, 2e-3 * s) << "scale " << s;
  }
}

TEST_P(PhotoSolve, BorderIsPinnedAndInteriorIsOptimal) {
  PhotoHost& p = Photo(GetParam());
  ResizeHost& h = p.loaded->host;
  const int W = 523, H = 211;
  h.Resize(W, H);
  ASSERT_EQ(h.solution().size(), static_cast<size_t>(h.coordCount()));
  const int C = h.quadCountX(), R = h.quadCountY();
  auto X = [&](int j, int i) { return h.solution()[2 * (j * (C + 1) + i)]; };
  auto Y = [&](int j, int i) { return h.solution()[2 * (j * (C + 1) + i) + 1]; };
  for (int i = 0; i <= C; ++i) {
    EXPECT_EQ(Y(0, i), 0.0f);
    EXPECT_EQ(Y(R, i), static_cast<float>(H));
  }
  for (int j = 0; j <= R; ++j) {
    EXPECT_EQ(X(j, 0), 0.0f);
    EXPECT_EQ(X(j, C), static_cast<float>(W));
  }
  EXPECT_EQ(X(0, 0), 0.0f);
  EXPECT_EQ(X(R, C), static_cast<float>(W));

  // Optimality: the gradient A'(A x) vanishes on every free coordinate.
  using SpMat = Eigen::SparseMatrix<double>;
  std::vector<Eigen::Triplet<double>> t;
  for (const Triplet& e : p.energy.entries) t.emplace_back(e.row, e.col, e.value);
  SpMat A(p.energy.m, p.energy.n);
  A.setFromTriplets(t.begin(), t.end());
  const Eigen::Map<const Eigen::VectorXd> x(h.solution64().data(), h.coordCount());
  const Eigen::VectorXd grad = A.transpose() * (A * x);
  std::vector<bool> fixed(h.coordCount(), false);
  for (int32_t c : h.ind()) fixed[c - 1] = true;
  double worst = 0, scale = 0;
  for (int c = 0; c < h.coordCount(); ++c) {
    scale = std::max(scale, std::abs(x[c]));
    if (!fixed[c]) worst = std::max(worst, std::abs(grad[c]));
  }
  EXPECT_LT(worst, 1e-9 * scale);
  // A real warp: not the uniform scaling.
  double offUniform = 0;
  for (int k = 0; k < h.coordCount(); k += 2)
    offUniform = std::max(offUniform, std::abs(h.solution64()[k] - h.restCoords()[k] * W / 400.0));
  EXPECT_GT(offUniform, 1.0);
}

INSTANTIATE_TEST_SUITE_P(BothModes, PhotoSolve, ::testing::Bool());

TEST(Host, BlackInAnImportanceFileAbsorbsTheStretch) {
  // A black background beside a bright band: grey 0 counts as grey 1.
  cv::Mat sal(300, 400, CV_8UC1, cv::Scalar(0));
  sal(cv::Rect(120, 0, 160, 300)).setTo(250);
  Loaded l(testsupport::Sample({400, 300}), sal);
  ASSERT_TRUE(l.Load());
  EXPECT_FLOAT_EQ(l.host.imgSal().at<float>(5, 5), 0.004f);
  EXPECT_FLOAT_EQ(l.host.imgSal().at<float>(150, 200), 1.0f);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  l.host.BuildEquationA();
  l.host.Resize(600, 300);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(l.host.contentAware());
  // The band keeps its width; the black sides take the stretch.
  const int mid = (l.host.quadCountY() / 2) * (l.host.quadCountX() + 1);
  const double band = l.host.solution()[2 * (mid + 14)] - l.host.solution()[2 * (mid + 6)];
  EXPECT_NEAR(band, 160.0, 16.0) << "plain scaling would give 240";

  // Without zeros, exactly grey × 0.004, as ever.
  cv::Mat grey(2, 3, CV_8UC1);
  cv::randu(grey, 1, 256);
  cv::Mat asEver;
  grey.convertTo(asEver, CV_32F, 0.004, 0.0);
  cv::Mat map = ImportanceFromGrey(grey);
  EXPECT_EQ(map.type(), CV_32FC1);
  EXPECT_EQ(cv::norm(map, asEver, cv::NORM_INF), 0.0);
  grey.at<uchar>(0, 0) = 0;
  grey.at<uchar>(1, 1) = 1;
  map = ImportanceFromGrey(grey);
  EXPECT_EQ(map.at<float>(0, 0), map.at<float>(1, 1));
}

TEST(Host, ASecondPhotoInTheSameHostIsSolvedAsInAFreshOne) {
  // Nothing found in the first photo (lines, segments, round shapes) may
  // stay with the second, even at the same size.
  const cv::Mat first = testsupport::Sample({400, 300});
  cv::Mat second;
  cv::flip(first, second, 1);
  auto solve = [](ResizeHost& host, const cv::Mat& photo) {
    EXPECT_TRUE(host.LoadImportance(photo, cv::Mat()));
    testing::internal::CaptureStdout();
    host.BuildEquationA();
    host.Resize(560, 300);
    testing::internal::GetCapturedStdout();
    return host.solution();
  };
  ResizeHost reused{ResizeSettings()};
  solve(reused, first);
  const std::vector<float> again = solve(reused, second);
  ResizeHost fresh{ResizeSettings()};
  EXPECT_EQ(again, solve(fresh, second));
}

TEST(Host, UnfactorableEnergyFallsBackToUniformScaling) {
  // No file can give every quad weight 0 any more; a map can.
  Loaded l(testsupport::Sample({400, 300}), cv::Mat(300, 400, CV_8UC1, cv::Scalar(9)));
  ASSERT_TRUE(l.Load());
  l.host = l.host.CopyForImportance(cv::Mat::zeros(l.host.imgSal().size(), CV_32FC1));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  l.host.BuildEquationA();
  l.host.Resize(200, 450);
  testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(l.host.contentAware());
  EXPECT_EQ(err, "") << "the programs tell, naming the file";
  EXPECT_NE(l.host.UniformFallbackNotice().find("content-aware solve is unavailable"),
            std::string::npos);
  ASSERT_EQ(l.host.solution().size(), static_cast<size_t>(l.host.coordCount()));
  for (int k = 0; k < l.host.coordCount(); k += 2) {
    EXPECT_FLOAT_EQ(l.host.solution()[k], static_cast<float>(l.host.restCoords()[k] * 0.5));
    EXPECT_FLOAT_EQ(l.host.solution()[k + 1], static_cast<float>(l.host.restCoords()[k + 1] * 1.5));
  }
}
