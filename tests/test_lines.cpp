// Line detection: Gaussian derivative filters, the
// detector front end and edge linking.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "lines/angle_math.hpp"
#include "lines/detect_edge.hpp"
#include "lines/gauss_deriv.hpp"
#include "test_support.hpp"

using namespace quadrix;

namespace {

constexpr float kTwoPiF = 6.2831855f;
constexpr double kPi = 3.141592653589793;

cv::Mat MakeImage(int w, int h, const std::function<float(int, int)>& f) {
  cv::Mat img(h, w, CV_32FC1);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.at<float>(y, x) = f(x, y);
  return img;
}

std::vector<float> Pixels(const cv::Mat& img) {
  return std::vector<float>(img.begin<float>(), img.end<float>());
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The border mirror, clamped into the image for sides of n or fewer.
int Mirror(int k, int len) {
  if (k < 0) {
    k = -k;
  } else if (k >= len) {
    k = 2 * len - k - 2;
  }
  return std::clamp(k, 0, len - 1);
}

// A straightforward convolution in the required summation order, along y
// (vertical) or x.
std::vector<float> RefConvolve(const std::vector<float>& in, const GaussMask& m, int w, int h,
                               bool vertical) {
  std::vector<float> out(in.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double sum = 0.0;
      for (int j = -m.n; j <= m.n; ++j)
        sum +=
            double(vertical ? in[Mirror(y + j, h) * w + x] : in[y * w + Mirror(x + j, w)]) * m[j];
      out[y * w + x] = float(sum);
    }
  return out;
}

// The detector run as the host runs it; minLength < 0 stops
// before linking.
struct Detection {
  std::vector<EdgeChain> lines;  // declared first: outlives the detector
  CDetectEdge det;
  explicit Detection(const cv::Mat& img, int minLength = 70) : det(&lines, 1.0) {
    det.SetImage(img);
    det.CalFirDer();
    det.NoneMaximalSuppress(5e-5f, 0.015f);
    if (minLength >= 0) det.Link(minLength);
  }
  int Label(int x, int y) const { return det.lineIndImg.at<int32_t>(y, x); }
};

// A detector over a flat image (no edge pixels, no seeds) whose label, angle
// and seed list the test paints by hand before calling Link.
struct Painted {
  std::vector<EdgeChain> lines;
  CDetectEdge det;
  Painted(int w, int h) : det(&lines, 1.0) {
    det.SetImage(cv::Mat::zeros(h, w, CV_32FC1));
    det.CalFirDer();
    det.NoneMaximalSuppress(5e-5f, 0.015f);
  }
  void Edge(int x, int y, float angle, float seedStrength = 0.0f) {
    det.lineIndImg.at<int32_t>(y, x) = -1;
    det.angleImg.at<float>(y, x) = angle;
    if (seedStrength > 0.0f) det.seedList.push_back(EdgeSeed{y, x, seedStrength});
  }
  void Row(int x0, int x1, int y, float seedStrength) {
    for (int x = x0; x <= x1; ++x) Edge(x, y, 0.0f, x == x0 ? seedStrength : 0.0f);
  }
  int Label(int x, int y) const { return det.lineIndImg.at<int32_t>(y, x); }
};

// Rows above y0 are 0, row y0 is 0.5, rows below are 1: the magnitude peaks
// on row y0 alone.
cv::Mat HorizontalEdge(int w, int h, int y0) {
  return MakeImage(w, h, [&](int, int y) { return y < y0 ? 0.0f : (y == y0 ? 0.5f : 1.0f); });
}

cv::Mat Photo(int w, int h) {
  const cv::Mat bgr = cv::imread(QUADRIX_SOURCE_DIR "/data/building.jpg", cv::IMREAD_COLOR);
  cv::Mat gray, f32, out;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  gray.convertTo(f32, CV_32F, 0.004);
  cv::resize(f32, out, cv::Size(w, h));
  return out;
}

// Checks every accepted chain: labels 1..K in list order, `length` pixels
// carry the label, and linkDirImg leads from end A through exactly those
// pixels to end B.
void ExpectConsistentChains(const Detection& d, int minLength) {
  const cv::Mat& ind = d.det.lineIndImg;
  std::vector<int> count(d.lines.size() + 1, 0);
  for (int y = 0; y < ind.rows; ++y)
    for (int x = 0; x < ind.cols; ++x) {
      const int v = ind.at<int32_t>(y, x);
      ASSERT_GE(v, -2);
      ASSERT_LE(v, static_cast<int>(d.lines.size()));
      if (v > 0) ++count[v];
      if (x == 0 || y == 0 || x == ind.cols - 1 || y == ind.rows - 1) {
        ASSERT_EQ(v, 0);
      }
    }
  for (size_t k = 0; k < d.lines.size(); ++k) {
    const EdgeChain& c = d.lines[k];
    ASSERT_EQ(c.label, static_cast<int>(k) + 1);
    ASSERT_GT(c.length, minLength);
    EXPECT_EQ(count[c.label], c.length);
    int x = c.xA, y = c.yA, visited = 1;
    while (d.det.linkDirImg.at<int32_t>(y, x) != -1) {
      ASSERT_EQ(d.Label(x, y), c.label);
      const RingOffset step = NEAR_RING[d.det.linkDirImg.at<int32_t>(y, x)];
      x += step.dx;
      y += step.dy;
      ASSERT_LE(++visited, c.length);
    }
    EXPECT_EQ(d.Label(x, y), c.label);
    EXPECT_EQ(visited, c.length);
    EXPECT_EQ(x, c.xB);
    EXPECT_EQ(y, c.yB);
  }
}

}  // namespace

// --- Gaussian derivative filters ---------------------------------------------

TEST(NormalCdf, LimitsAndValues) {
  EXPECT_EQ(NormalCdf(-25.0), 0.0);
  EXPECT_EQ(NormalCdf(25.0), 1.0);
  EXPECT_EQ(NormalCdf(0.0), 0.5);
  // All three ranges of the approximation, both signs.
  for (double x :
       {-19.5, -12.0, -8.0, -5.7, -3.0, -1.3, -0.6, -0.3, 0.2, 0.6, 1.0, 2.5, 5.5, 9.0}) {
    // Relative to the value; far in the lower tail exp(-x^2/2) itself carries
    // the rounding of its large argument (about 4e-14 at x = -19.5).
    const double expected = 0.5 * std::erfc(-x / std::sqrt(2.0));
    EXPECT_NEAR(NormalCdf(x), expected, (x < -8 ? 1e-13 : 2e-15) * expected) << x;
  }
}

TEST(GaussMask, HalfWidthsSumsSymmetryAndEntries) {
  EXPECT_EQ(GaussMask0(1.0).n, 4);
  EXPECT_EQ(GaussMask1(1.0).n, 4);
  EXPECT_EQ(GaussMask2(1.0).n, 4);
  EXPECT_EQ(GaussMask0(2.0).n, 7);
  EXPECT_EQ(GaussMask1(2.0).n, 7);
  EXPECT_EQ(GaussMask2(2.0).n, 8);
  EXPECT_EQ(GaussMask2(2.0).data.size(), 17u);
  for (double sigma : {1.0, 2.0, 0.7}) {
    const GaussMask m0 = GaussMask0(sigma), m1 = GaussMask1(sigma), m2 = GaussMask2(sigma);
    double s0 = 0, s1 = 0, s2 = 0;
    for (double v : m0.data) s0 += v;
    for (double v : m1.data) s1 += v;
    for (double v : m2.data) s2 += v;
    EXPECT_NEAR(s0, 1.0, 1e-12);
    EXPECT_NEAR(s1, 0.0, 1e-12);
    EXPECT_NEAR(s2, 0.0, 1e-12);
    EXPECT_EQ(m1[0], 0.0);
    for (int i = 1; i <= m1.n; ++i) EXPECT_EQ(m1[-i], -m1[i]);
    for (int i = 1; i <= m2.n; ++i) EXPECT_EQ(m2[-i], m2[i]);
  }
  const GaussMask m0 = GaussMask0(1.0), m1 = GaussMask1(1.0);
  EXPECT_NEAR(m0[0], 0.3829249, 1e-7);  // Phi(0.5) - Phi(-0.5)
  EXPECT_NEAR(m0[4], 2.3263e-4, 1e-8);  // 1 - Phi(3.5)
  EXPECT_NEAR(m0[-4], 2.3263e-4, 1e-8);
  EXPECT_NEAR(m1[1], 0.2225477, 1e-7);  // g(-0.5) - g(-1.5)
  EXPECT_GT(m1[1], 0.0);                // mask[j] holds the kernel at -j: a true convolution
}

TEST(Convolve, MatchesStraightforwardSumsAtAllSizes) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  // Sizes with interior, with 2n > side, and with sides of n or fewer (the
  // mirror is clamped into the image there).
  const int sizes[][2] = {{37, 23}, {9, 9}, {8, 5}, {4, 3}, {3, 2},
                          {1, 1},   {5, 1}, {1, 7}, {13, 2}};
  for (double sigma : {1.0, 2.0}) {
    for (const GaussMask& m : {GaussMask0(sigma), GaussMask1(sigma), GaussMask2(sigma)}) {
      for (const auto& s : sizes) {
        const int w = s[0], h = s[1];
        std::vector<float> in(w * h), out(w * h);
        for (float& v : in) v = dist(rng);
        ConvolveVertical(in.data(), m.Centre(), m.n, out.data(), w, h);
        const std::vector<float> v = RefConvolve(in, m, w, h, true);
        for (int i = 0; i < w * h; ++i) ASSERT_TRUE(SameBits(out[i], v[i])) << w << "x" << h;
        ConvolveHorizontal(in.data(), m.Centre(), m.n, out.data(), w, h);
        const std::vector<float> r = RefConvolve(in, m, w, h, false);
        for (int i = 0; i < w * h; ++i) ASSERT_TRUE(SameBits(out[i], r[i])) << w << "x" << h;
      }
    }
  }
}

TEST(GaussDerivative, KindsAreVerticalThenHorizontal) {
  const int w = 31, h = 17;
  const std::vector<float> in =
      Pixels(MakeImage(w, h, [](int x, int y) { return std::sin(0.3f * x) + 0.1f * y * y; }));
  const GaussMask g0 = GaussMask0(1.5), g1 = GaussMask1(1.5), g2 = GaussMask2(1.5);
  const struct {
    int kind;
    const GaussMask& v;
    const GaussMask& h;
  } kinds[] = {
      {DerivY, g1, g0}, {DerivX, g0, g1}, {DerivYY, g2, g0}, {DerivXY, g1, g1}, {DerivXX, g0, g2}};
  for (const auto& k : kinds) {
    std::vector<float> out(w * h);
    GaussDerivative(in.data(), out.data(), w, h, k.kind, 1.5);
    const std::vector<float> expected =
        RefConvolve(RefConvolve(in, k.v, w, h, true), k.h, w, h, false);
    for (int i = 0; i < w * h; ++i) ASSERT_TRUE(SameBits(out[i], expected[i])) << k.kind;
  }
}

TEST(GaussDerivative, ConstantImage) {
  for (const auto& size : {cv::Size(20, 15), cv::Size(3, 2), cv::Size(1, 1)}) {
    const int w = size.width, h = size.height;
    const std::vector<float> in(w * h, 0.75f);
    std::vector<float> out(w * h);
    const GaussMask m0 = GaussMask0(1.0);
    ConvolveVertical(in.data(), m0.Centre(), m0.n, out.data(), w, h);
    for (float v : out) EXPECT_NEAR(v, 0.75f, 1e-6f);
    ConvolveHorizontal(in.data(), m0.Centre(), m0.n, out.data(), w, h);
    for (float v : out) EXPECT_NEAR(v, 0.75f, 1e-6f);
    for (int kind = DerivY; kind <= DerivXX; ++kind) {
      GaussDerivative(in.data(), out.data(), w, h, kind, 1.0);
      for (float v : out) EXPECT_NEAR(v, 0.0f, 1e-6f) << kind;
    }
  }
}

TEST(GaussDerivative, RampInX) {
  const int w = 40, h = 6;
  const std::vector<float> in = Pixels(MakeImage(w, h, [](int x, int) { return float(x); }));
  std::vector<float> out(w * h);
  GaussDerivative(in.data(), out.data(), w, h, DerivX, 1.0);
  for (int y = 0; y < h; ++y) {
    for (int x = 4; x < w - 4; ++x) EXPECT_NEAR(out[y * w + x], 0.99997f, 1e-5f);
    // The mirrored ramp is symmetric about the border pixel.
    EXPECT_NEAR(out[y * w], 0.0f, 1e-5f);
    EXPECT_NEAR(out[y * w + w - 1], 0.0f, 1e-5f);
    for (int x = 0; x < 4; ++x) EXPECT_LT(out[y * w + x], out[y * w + x + 1]);
  }
}

TEST(GaussDeriv, OutOfMemoryAndBadKindAreReported) {
  EXPECT_THROW(OutOfMemory(), FilterOutOfMemory);
  EXPECT_STREQ(FilterOutOfMemory().what(), "kurvex: Out of memory");
  float pixel = 0.0f, out = 0.0f;
  EXPECT_TRUE(testsupport::Contains(
      testsupport::AssertionReport([&] { GaussDerivative(&pixel, &out, 1, 1, 6, 1.0); }),
      "Assertion: kind >= DerivY && kind <= DerivXX failed"));
}

// --- Exact per-pixel functions --------------------------------------------------

// Both versions of the per-pixel kernels (baseline and, where the processor
// has it, AVX2) against the C library, bit for bit.
class Kernels : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { detail::UseBaselineKernelsForTesting(GetParam()); }
  void TearDown() override { detail::UseBaselineKernelsForTesting(false); }
};

INSTANTIATE_TEST_SUITE_P(Detect, Kernels, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Baseline" : "Widest";
                         });

TEST_P(Kernels, RoundLikeTheCLibrary) {
  std::mt19937 rng(11);
  std::vector<float> theta, s, c;
  for (float t : {0.0f, -0.0f, 1e-30f, 1e-45f, 0.78539819f, 1.5707964f, 3.1415927f, 4.712389f,
                  kTwoPiF, 6.5f, 7.0f, -1.0f, NAN, INFINITY})
    theta.push_back(t);
  std::uniform_real_distribution<float> angle(0.0f, kTwoPiF);
  while (theta.size() < 100003) theta.push_back(angle(rng));
  s.resize(theta.size());
  c.resize(theta.size());
  detail::SinNegCosToFloat(theta.data(), s.data(), c.data(), theta.size());
  for (size_t i = 0; i < theta.size(); ++i) {
    const float es = float(std::sin(double(theta[i]))), ec = float(-std::cos(double(theta[i])));
    ASSERT_TRUE(SameBits(s[i], es) || (std::isnan(s[i]) && std::isnan(es))) << theta[i];
    ASSERT_TRUE(SameBits(c[i], ec) || (std::isnan(c[i]) && std::isnan(ec))) << theta[i];
  }

  std::vector<float> gx, gy;
  const float specials[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-38f, -3e-45f, 1e30f, INFINITY, NAN};
  for (float a : specials)
    for (float b : specials) {
      gx.push_back(a);
      gy.push_back(b);
    }
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> expo(-40, 10);
  while (gx.size() < 100003) {
    gx.push_back(std::ldexp(unit(rng), expo(rng)));
    gy.push_back(gx.size() % 5 == 0 ? gx.back() * (1.0f + 1e-7f)
                                    : std::ldexp(unit(rng), expo(rng)));
  }
  std::vector<float> out(gx.size());
  detail::Atan2ToFloat(gx.data(), gy.data(), out.data(), gx.size());
  for (size_t i = 0; i < gx.size(); ++i) {
    const float e = float(std::atan2(double(gx[i]), -double(gy[i])));
    ASSERT_TRUE(SameBits(out[i], e) || (std::isnan(out[i]) && std::isnan(e)))
        << gx[i] << " " << gy[i];
  }
}

// --- Edge detector front end ---------------------------------------------------

TEST(DetectEdge, Assertions) {
  using testsupport::AssertionReport;
  using testsupport::Contains;
  std::vector<EdgeChain> lines;
  EXPECT_TRUE(
      Contains(AssertionReport([&] { CDetectEdge(&lines, 0.4); }),
               "lines/detect_edge\\.cpp:[0-9]+: .*Assertion: sigma > 0\\.4 failed in function "
               "'CDetectEdge::CDetectEdge'"));
  CDetectEdge det(&lines, 0.41);
  EXPECT_TRUE(
      Contains(AssertionReport([&] { det.CalFirDer(); }),
               "lines/detect_edge\\.cpp:[0-9]+: .*Assertion: !secDerImg\\.empty\\(\\) failed in "
               "function "
               "'CDetectEdge::CalFirDer'"));
  EXPECT_TRUE(Contains(AssertionReport([&] { det.NoneMaximalSuppress(0.1f, 0.2f); }),
                       "lines/detect_edge\\.cpp:[0-9]+: .*Assertion: !secDerImg\\.empty\\(\\) && "
                       "!lineIndImg\\.empty\\(\\) "
                       "failed in function 'CDetectEdge::NoneMaximalSuppress'"));
  EXPECT_TRUE(Contains(AssertionReport([&] { det.Link(70); }),
                       "lines/detect_edge\\.cpp:[0-9]+: .*Assertion: !secDerImg\\.empty\\(\\) && "
                       "!lineIndImg\\.empty\\(\\) "
                       "failed in function 'CDetectEdge::Link'"));
}

TEST(DetectEdge, AllBelowLowThreshold) {
  Detection d(MakeImage(30, 20, [](int x, int) { return 1e-5f * x; }), -1);
  EXPECT_EQ(cv::countNonZero(d.det.lineIndImg), 0);
  EXPECT_TRUE(d.det.seedList.empty());
  double maxMag;
  cv::minMaxLoc(d.det.secDerImg, nullptr, &maxMag);
  EXPECT_LT(maxMag, 5e-5);
  EXPECT_GT(maxMag, 0.0);
}

TEST(DetectEdge, VerticalStepEdge) {
  for (bool brightRight : {true, false}) {
    const int w = 40, h = 30;
    Detection d(MakeImage(w, h, [&](int x, int) { return (x >= 20) == brightRight ? 1.0f : 0.0f; }),
                -1);
    const double expectedAngle = brightRight ? kPi / 2 : 3 * kPi / 2;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const bool step = (x == 19 || x == 20) && y > 0 && y < h - 1;
        ASSERT_EQ(d.Label(x, y), step ? -1 : 0) << x << "," << y;
        if (x == 19 || x == 20) {
          EXPECT_NEAR(d.det.angleImg.at<float>(y, x), expectedAngle, 1e-6);
        }
      }
    ASSERT_EQ(d.det.seedList.size(), size_t(2 * (h - 2)));
    for (const EdgeSeed& s : d.det.seedList) {
      EXPECT_TRUE(s.x == 19 || s.x == 20);
      EXPECT_EQ(s.strength, d.det.secDerImg.at<float>(s.y, s.x));
    }
  }
}

TEST_P(Kernels, DetectorMatchesThePlainArithmetic) {
  // Angles, magnitudes, labels and seeds against a plain transcription of
  // The front end written plainly with the C library's functions.
  for (const cv::Mat& img : {Photo(217, 150), MakeImage(123, 77, [](int x, int y) {
                               return 0.5f + 0.3f * std::sin(0.31f * x + 0.17f * y) +
                                      0.2f * std::cos(0.01f * x * y);
                             })}) {
    Detection d(img, -1);
    const int w = img.cols, h = img.rows;
    const cv::Mat &gx = d.det.derXImg, &gy = d.det.derYImg, &mag = d.det.secDerImg;
    std::vector<float> derX(w * h);
    GaussDerivative(img.ptr<float>(), derX.data(), w, h, DerivX, 1.0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const float fx = gx.at<float>(y, x), fy = gy.at<float>(y, x);
        ASSERT_TRUE(SameBits(fx, derX[y * w + x]));
        float theta = float(std::atan2(double(fx), -double(fy)));
        if (theta < 0) theta += kTwoPiF;
        ASSERT_TRUE(SameBits(d.det.angleImg.at<float>(y, x), theta));
        ASSERT_TRUE(SameBits(mag.at<float>(y, x), std::sqrt(fx * fx + fy * fy)));
      }
    std::vector<EdgeSeed> seeds;
    size_t edges = 0;
    for (int y = h - 2; y >= 1; --y)
      for (int x = w - 2; x >= 1; --x) {
        const float m = mag.at<float>(y, x);
        bool edge = false;
        if (m >= 5e-5f) {
          const double t = d.det.angleImg.at<float>(y, x);
          const float s = float(std::sin(t)), c = float(-std::cos(t));
          const int sx = s > 0 ? 1 : (s < 0 ? -1 : 0), sy = c > 0 ? 1 : (c < 0 ? -1 : 0);
          const float fwd = s * s * mag.at<float>(y, x + sx) + c * c * mag.at<float>(y + sy, x);
          const float bwd = s * s * mag.at<float>(y, x - sx) + c * c * mag.at<float>(y - sy, x);
          edge = fwd <= m && bwd <= m;
        }
        ASSERT_EQ(d.Label(x, y), edge ? -1 : 0) << x << "," << y;
        edges += edge;
        if (edge && m >= 0.015f) seeds.push_back(EdgeSeed{y, x, m});
      }
    EXPECT_GT(edges, size_t(w * h / 50));
    ASSERT_EQ(d.det.seedList.size(), seeds.size());
    for (size_t i = 0; i < seeds.size(); ++i) {  // reverse raster order
      EXPECT_EQ(d.det.seedList[i].y, seeds[i].y);
      EXPECT_EQ(d.det.seedList[i].x, seeds[i].x);
      EXPECT_EQ(d.det.seedList[i].strength, seeds[i].strength);
    }
    // The outermost rows and columns stay 0 although their magnitudes are high.
    for (int x = 0; x < w; ++x) EXPECT_EQ(d.Label(x, 0) | d.Label(x, h - 1), 0);
    for (int y = 0; y < h; ++y) EXPECT_EQ(d.Label(0, y) | d.Label(w - 1, y), 0);
    EXPECT_GT(mag.at<float>(0, w / 2) + mag.at<float>(h / 2, 0), 0.015f);
  }
}

TEST(DetectEdge, TinyImagesAndReuse) {
  std::vector<EdgeChain> lines{EdgeChain{}};
  CDetectEdge det(&lines, 1.0);
  for (const auto& size : {cv::Size(1, 1), cv::Size(3, 2), cv::Size(4, 4), cv::Size(2, 9)}) {
    det.SetImage(MakeImage(size.width, size.height, [](int x, int y) { return float(x * y % 3); }));
    EXPECT_TRUE(lines.empty());
    det.CalFirDer();
    det.NoneMaximalSuppress(5e-5f, 0.015f);
    det.Link(0);
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x)
        if (x == 0 || y == 0 || x == size.width - 1 || y == size.height - 1) {
          EXPECT_EQ(det.lineIndImg.at<int32_t>(y, x), 0);
        }
  }
  // A view into a larger image is copied into continuous work images.
  const cv::Mat big = HorizontalEdge(60, 40, 20);
  det.SetImage(big(cv::Rect(5, 10, 40, 20)));
  EXPECT_TRUE(det.srcImg.isContinuous());
  EXPECT_EQ(det.imgWidth, 40);
  EXPECT_EQ(det.imgHeight, 20);
  det.CalFirDer();
  det.NoneMaximalSuppress(5e-5f, 0.015f);
  det.Link(10);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].length, 38);
}

// --- Edge linking ---------------------------------------------------------------

TEST(AngleDiffAndUpdateDirection, Cases) {
  EXPECT_FLOAT_EQ(AngleDiff(0.0f, 3.1415927f), 0.0f);
  EXPECT_NEAR(AngleDiff(0.1f, kTwoPiF - 0.1f), 0.2f, 1e-6f);
  EXPECT_NEAR(AngleDiff(0.0f, 1.5707964f), 1.5707964f, 1e-6f);
  EXPECT_NEAR(AngleDiff(4.0f, 1.0f), float(kPi) - 3.0f, 1e-6f);
  for (float a = 0.0f; a < kTwoPiF; a += 0.37f)
    for (float b = 0.0f; b < kTwoPiF; b += 0.41f) {
      EXPECT_GE(AngleDiff(a, b), 0.0f);
      EXPECT_LE(AngleDiff(a, b), 1.5707964f);
    }
  struct {
    float theta, phi, expected;
  } cases[] = {
      {0.2f, 6.0f, 6.0f},                         // phi >= theta + 3pi/2: same orientation
      {6.0f, 0.2f, 0.2f},                         // theta >= phi + 3pi/2
      {1.0f, 3.0f, 3.0f - float(kPi) + kTwoPiF},  // against the travel: flipped
      {3.0f, 1.0f, 1.0f + float(kPi)},
      {1.0f, 1.3f, 1.3f},  // close: adopted
  };
  for (const auto& c : cases) {
    float theta = c.theta, phi = c.phi;
    UpdateDirection(theta, phi);
    EXPECT_NEAR(theta, c.expected, 1e-6f) << c.theta << " " << c.phi;
    EXPECT_EQ(phi, theta);
  }
}

TEST(Link, ChainOf70RejectedAnd71Accepted) {
  for (int width : {72, 73}) {
    Detection d(HorizontalEdge(width, 20, 9));
    const bool accepted = width == 73;
    for (int x = 0; x < width; ++x)
      for (int y = 0; y < 20; ++y) {
        const bool onChain = y == 9 && x > 0 && x < width - 1;
        ASSERT_EQ(d.Label(x, y), onChain ? (accepted ? 1 : -2) : 0) << x << "," << y;
      }
    ASSERT_EQ(d.lines.size(), accepted ? 1u : 0u);
    if (!accepted) continue;
    // The strongest seeds tie; the rightmost comes first and traces left.
    const EdgeChain& c = d.lines[0];
    EXPECT_EQ(c.length, 71);
    EXPECT_EQ(c.xB, 1);
    EXPECT_EQ(c.xA, width - 2);
    EXPECT_EQ(c.yA, 9);
    EXPECT_NEAR(c.angleB, kPi, 1e-6);
    ExpectConsistentChains(d, 70);
  }
}

TEST(Link, ConsecutiveLabelsAndAbsorbedSeeds) {
  Painted p(120, 30);
  p.Row(5, 84, 5, 3.0f);      // 80 pixels, strongest
  p.Row(5, 54, 10, 2.0f);     // 50 pixels: rejected
  p.Row(5, 94, 15, 1.0f);     // 90 pixels
  p.Edge(40, 5, 0.0f, 2.5f);  // seeds on chains that stronger seeds absorb
  p.Edge(60, 15, 0.0f, 0.5f);
  p.det.Link(70);
  ASSERT_EQ(p.lines.size(), 2u);
  EXPECT_EQ(p.lines[0].label, 1);
  EXPECT_EQ(p.lines[0].length, 80);
  EXPECT_EQ(p.lines[1].label, 2);
  EXPECT_EQ(p.lines[1].length, 90);
  for (int x = 5; x <= 84; ++x) EXPECT_EQ(p.Label(x, 5), 1);
  for (int x = 5; x <= 54; ++x) EXPECT_EQ(p.Label(x, 10), -2);
  for (int x = 5; x <= 94; ++x) EXPECT_EQ(p.Label(x, 15), 2);
  EXPECT_EQ(p.det.seedList.front().strength, 3.0f);  // sorted, strongest first
}

TEST(Link, FarStepBridgesAOnePixelGap) {
  Painted p(40, 20);
  p.Row(5, 30, 10, 1.0f);
  p.det.lineIndImg.at<int32_t>(10, 17) = 0;  // the gap
  p.det.Link(10);
  ASSERT_EQ(p.lines.size(), 1u);
  EXPECT_EQ(p.lines[0].length, 26);
  for (int x = 5; x <= 30; ++x) EXPECT_EQ(p.Label(x, 10), 1) << x;
  EXPECT_EQ(p.det.linkDirImg.at<int32_t>(10, 16), 0);
  EXPECT_EQ(p.det.linkDirImg.at<int32_t>(10, 17), 0);
}

TEST(Link, StrictAttemptsBeforeRelaxedOnes) {
  // Straight ahead at k8 lies a pixel whose direction differs by 90 degrees.
  {
    Painted p(20, 20);
    p.Edge(10, 10, 0.0f, 1.0f);
    p.Edge(11, 10, 1.5707964f);
    p.det.Link(1);
    ASSERT_EQ(p.lines.size(), 1u);
    EXPECT_EQ(p.lines[0].length, 2);
    EXPECT_EQ(p.Label(11, 10), 1);                                     // taken by a relaxed attempt
    EXPECT_NEAR(p.det.angleImg.at<float>(10, 11), 3 * kPi / 2, 1e-6);  // re-oriented
  }
  // With a strict candidate beside it, that one wins and the other stays -1.
  {
    Painted p(20, 20);
    p.Edge(10, 10, 0.0f, 1.0f);
    p.Edge(11, 10, 1.5707964f);
    p.Edge(11, 11, 0.0f);
    p.det.Link(1);
    ASSERT_EQ(p.lines.size(), 1u);
    EXPECT_EQ(p.lines[0].length, 2);
    EXPECT_EQ(p.Label(11, 11), 1);
    EXPECT_EQ(p.Label(11, 10), -1);
  }
}

TEST(Link, ChainsOnAPhotoAreConsistent) {
  Detection d(Photo(434, 300));
  EXPECT_GT(d.lines.size(), 5u);
  ExpectConsistentChains(d, 70);
  Detection circle(MakeImage(80, 80,
                             [](int x, int y) {
                               return (x - 40) * (x - 40) + (y - 38) * (y - 38) < 600 ? 1.0f : 0.0f;
                             }),
                   10);
  EXPECT_GE(circle.lines.size(), 1u);
  ExpectConsistentChains(circle, 10);
}
