// No zoom along the side that keeps its length: one energy for a changed
// width, one for a changed height, blended near the tie.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>

#include "core/resize_host.hpp"
#include "test_support.hpp"

using namespace quadrix;
using testsupport::TempDir;

namespace {

// The sample at 400 x 300 with a bright disc in a dim ramp as its
// importance, solved without the guard so that only the energy speaks.
struct EvenPhoto {
  TempDir dir;
  ResizeHost host;
  EvenPhoto(bool even, double minScale = 0.0) {
    const cv::Size size(400, 300);
    const std::string sal = dir / "sal.png";
    cv::imwrite(sal, testsupport::ImportanceImage(size));
    ResizeSettings settings;
    settings.parts = ResultParts::Classic();
    settings.parts.even = even;
    settings.minScale = minScale;
    settings.printDiagnostics = false;
    host = ResizeHost(settings);
    if (!host.LoadImage(testsupport::Sample(size), sal.c_str())) std::abort();
    host.BuildEquationA();
  }
  // The largest distance of a grid vertex from plain scaling along `k`
  // (0: x, 1: y) at the size (W, H).
  double Off(int W, int H, int k) {
    host.Resize(W, H);
    const int V = (host.quadCountX() + 1) * (host.quadCountY() + 1);
    const double s = k == 0 ? W / 400.0 : H / 300.0;
    double worst = 0;
    for (int p = 0; p < V; ++p)
      worst = std::max(worst,
                       std::abs(host.solution64()[2 * p + k] - s * host.restCoords()[2 * p + k]));
    return worst;
  }
};

}  // namespace

TEST(EvenScale, TheSideThatKeepsItsLengthKeepsItsScale) {
  EvenPhoto even(true), plain(false);
  // Wider, then narrower, at the same height: every row of quads keeps its
  // height, where the plain energy lets the disc grow into its neighbours.
  for (const int w : {640, 260}) {
    SCOPED_TRACE(w);
    EXPECT_LT(even.Off(w, 300, 1), 1.0);
    EXPECT_GT(plain.Off(w, 300, 1), 5.0);
    EXPECT_GT(even.Off(w, 300, 0), 5.0) << "still content-aware along the width";
  }
  // Taller and shorter at the same width: the columns keep their width.
  for (const int h : {480, 200}) {
    SCOPED_TRACE(h);
    EXPECT_LT(even.Off(400, h, 0), 1.0);
    EXPECT_GT(plain.Off(400, h, 0), 5.0);
    EXPECT_GT(even.Off(400, h, 1), 5.0);
  }
  EXPECT_TRUE(even.host.hasHeightSolver()) << "the second energy is made when first needed";
  EXPECT_FALSE(plain.host.hasHeightSolver());
  // The photo's aspect at another size is plain scaling, for both.
  EXPECT_LT(even.Off(800, 600, 0), 1e-6);
  EXPECT_LT(even.Off(800, 600, 1), 1e-6);
}

TEST(EvenScale, TheTwoEnergiesBlendWithoutAJump) {
  const cv::Size rest(400, 300);
  EXPECT_EQ(WidthChangeShare(600, 300, rest), 1.0);
  EXPECT_EQ(WidthChangeShare(400, 200, rest), 0.0);
  EXPECT_NEAR(WidthChangeShare(480, 250, rest), 0.5, 1e-9) << "1.2 wider, 1.2 shorter: a tie";
  // Across the tie the mesh moves little from one pixel of width to the
  // next, and the guard still keeps every triangle the right way round.
  EvenPhoto even(true, kDefaultMinScale);
  std::vector<double> last;
  double biggestStep = 0;
  for (int w = 440; w <= 520; ++w) {
    even.host.Resize(w, 250);
    const std::vector<double>& x = even.host.solution64();
    if (!last.empty())
      for (size_t k = 0; k < x.size(); ++k)
        biggestStep = std::max(biggestStep, std::abs(x[k] - last[k]));
    last = x;
    const int C = even.host.quadCountX(), R = even.host.quadCountY();
    for (int j = 0; j < R; ++j)
      for (int i = 0; i < C; ++i) {
        const int a = j * (C + 1) + i, b = a + 1, c = a + C + 2, d = a + C + 1;
        const auto cross = [&](int p, int q, int r) {
          return (x[2 * q] - x[2 * p]) * (x[2 * r + 1] - x[2 * p + 1]) -
                 (x[2 * q + 1] - x[2 * p + 1]) * (x[2 * r] - x[2 * p]);
        };
        ASSERT_GT(cross(a, b, c), 0.0) << w << ": quad " << j << "," << i;
        ASSERT_GT(cross(a, c, d), 0.0) << w << ": quad " << j << "," << i;
      }
  }
  EXPECT_LT(biggestStep, 4.0);
}
