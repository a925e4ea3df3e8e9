#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>

#include "saliency/color_gmm.hpp"
#include "saliency/image_attention.hpp"
#include "saliency/zq_cv_helper.hpp"
#include "test_support.hpp"

using quadrix::ColorGmm;
using quadrix::GmmComponent;
using quadrix::GmmFitter;
using quadrix::ImageAttention;
using quadrix::SaliencyWeights;
using quadrix::ZqCvHelper;
using testsupport::AssertionReport;
using testsupport::Contains;

namespace {

cv::Mat Photo(int width, int height) {
  const cv::Mat photo = cv::imread(QUADRIX_SOURCE_DIR "/data/building.jpg", cv::IMREAD_COLOR);
  EXPECT_FALSE(photo.empty());
  cv::Mat out;
  cv::resize(photo, out, cv::Size(width, height), 0, 0, cv::INTER_AREA);
  return out;
}

// True when every value is finite and within [lo, hi].
bool AllWithin(const cv::Mat& m, double lo, double hi) {
  if (!cv::checkRange(m, true)) return false;
  double minVal, maxVal;
  cv::minMaxLoc(m, &minVal, &maxVal);
  return minVal >= lo && maxVal <= hi;
}

// A 3-channel float image with one colour per pixel from a list of L values
// (u = v = 0), row-major.
cv::Mat LuvRow(std::initializer_list<float> l) {
  cv::Mat m(1, static_cast<int>(l.size()), CV_32FC3, cv::Scalar(0, 0, 0));
  int c = 0;
  for (float v : l) m.at<cv::Vec3f>(0, c++)[0] = v;
  return m;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

// ---- Image helpers ---------------------------------------------------------

TEST(MeshGrid, GridOfQuadCorners) {
  cv::Mat fx, fy;
  ZqCvHelper::MeshGrid(0, 100, 0, 60, 20, 20, fx, fy);
  ASSERT_EQ(fx.cols, 6);
  ASSERT_EQ(fx.rows, 4);
  ASSERT_EQ(fx.type(), CV_64FC1);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 6; ++j) {
      EXPECT_EQ(fx.at<double>(i, j), 20.0 * j);
      EXPECT_EQ(fy.at<double>(i, j), 20.0 * i);
    }
}

TEST(ScaleToWorkingSize, ShorterSideBecomes256AndSidesMultiplesOf8) {
  const struct {
    int w, h, ew, eh;
  } cases[] = {{640, 480, 336, 256},
               {300, 161, 472, 248},  // 256.0 / 161 * 161 falls just below 256
               {128, 128, 256, 256},
               {128, 4000, 256, 8000}};
  for (const auto& c : cases) {
    cv::Mat out;
    ZqCvHelper::ScaleToWorkingSize(cv::Mat(c.h, c.w, CV_8UC3, cv::Scalar(1, 2, 3)), out);
    EXPECT_EQ(out.size(), cv::Size(c.ew, c.eh)) << c.w << " x " << c.h;
    EXPECT_EQ(out.type(), CV_8UC3);
  }
}

TEST(ScaleToWorkingSize, TooSmallPrintsAndLeavesOutputAlone) {
  cv::Mat out(5, 7, CV_8UC1, cv::Scalar(9));
  const uchar* before = out.data;
  testing::internal::CaptureStdout();
  ZqCvHelper::ScaleToWorkingSize(cv::Mat(1000, 127, CV_8UC3, cv::Scalar(0)), out);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Input image is too small: 127 * 1000\n");
  EXPECT_EQ(out.data, before);
  EXPECT_EQ(out.size(), cv::Size(7, 5));

  cv::Mat empty;
  testing::internal::CaptureStdout();
  ZqCvHelper::ScaleToWorkingSize(cv::Mat(1000, 127, CV_8UC3, cv::Scalar(0)), empty);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(empty.empty());
}

TEST(BgrToLuv, AgreesWithTheImageLibrary) {
  // A photo, every corner of the colour cube, dark colours and values out
  // of range (clamped).
  cv::Mat photo;
  testsupport::Sample({256, 256}).convertTo(photo, CV_32FC3, 1.0 / 255);
  cv::Mat corners(1, 12, CV_32FC3);
  const float values[12][3] = {
      {0, 0, 0}, {1, 1, 1}, {1, 0, 0},     {0, 1, 0},      {0, 0, 1},           {1, 1, 0},
      {0, 1, 1}, {1, 0, 1}, {0.01f, 0, 0}, {0, 0.002f, 0}, {1.5f, -0.2f, 0.5f}, {0.5f, 0.5f, 0.5f}};
  for (int k = 0; k < 12; ++k) corners.at<cv::Vec3f>(0, k) = cv::Vec3f(values[k]);
  for (const cv::Mat& bgr : {photo, corners}) {
    cv::Mat ours, theirs;
    ZqCvHelper::BgrToLuv(bgr, ours);
    cv::cvtColor(bgr, theirs, cv::COLOR_BGR2Luv);
    ASSERT_EQ(ours.type(), CV_32FC3);
    // L spans 0 to 100, u and v a few hundred: a hundredth is far below
    // what the colour model of the importance map can tell apart.
    EXPECT_LT(cv::norm(ours, theirs, cv::NORM_INF), 0.01);
  }
  cv::Mat same = photo.clone();
  EXPECT_TRUE(
      Contains(AssertionReport([&] { ZqCvHelper::BgrToLuv(same, same); }), "ZqCvHelper::BgrToLuv"));
}

TEST(ComplexHelpers, AbsAngleAndPolarRoundTrip) {
  cv::Mat cmplx(1, 2, CV_32FC2);
  cmplx.at<cv::Vec2f>(0, 0) = {0.0f, -1.0f};
  cmplx.at<cv::Vec2f>(0, 1) = {-3.0f, 4.0f};
  cv::Mat mag, phase, back;
  ZqCvHelper::AbsAngle(cmplx, mag, phase);
  EXPECT_FLOAT_EQ(mag.at<float>(0, 0), 1.0f);
  EXPECT_FLOAT_EQ(phase.at<float>(0, 0), static_cast<float>(-M_PI / 2));
  EXPECT_FLOAT_EQ(mag.at<float>(0, 1), 5.0f);
  ZqCvHelper::Polar2Cmplx(mag, phase, back);
  ASSERT_EQ(back.type(), CV_32FC2);
  for (int c = 0; c < 2; ++c)
    for (int k = 0; k < 2; ++k)
      EXPECT_NEAR(back.at<cv::Vec2f>(0, c)[k], cmplx.at<cv::Vec2f>(0, c)[k], 1e-6);
}

TEST(ComplexHelpers, AbsAngleRejectsOneChannel) {
  cv::Mat mag, phase;
  EXPECT_TRUE(
      Contains(AssertionReport([&] {
                 ZqCvHelper::AbsAngle(cv::Mat(2, 2, CV_32FC1, cv::Scalar(0)), mag, phase);
               }),
               "Assertion: cmplx.channels\\(\\) == 2 && cmplx.depth\\(\\) == CV_32F failed"));
}

TEST(Mat2GrayLinear, StretchesToUnitRangeInPlace) {
  cv::Mat m = (cv::Mat_<float>(1, 3) << 2, 4, 6);
  ZqCvHelper::Mat2GrayLinear(m, &m);
  EXPECT_FLOAT_EQ(m.at<float>(0), 0.0f);
  EXPECT_FLOAT_EQ(m.at<float>(1), 0.5f);
  EXPECT_FLOAT_EQ(m.at<float>(2), 1.0f);
}

TEST(Mat2GrayLinear, ConstantImageFails) {
  const cv::Mat flat(4, 4, CV_32FC1, cv::Scalar(3));
  EXPECT_TRUE(Contains(AssertionReport([&] { ZqCvHelper::Mat2GrayLinear(flat); }),
                       "Assertion: maxVal - minVal > 1e-6 failed"));
}

// ---- Multi-scale contrast --------------------------------------------------

// One bright pixel on black: its own contrast is 3 (squared distance to every
// dark neighbour) times the share of dark positions in its window.
TEST(LocalContrast, DividesByWindowPositionsInsideImage) {
  cv::Mat colour(20, 20, CV_32FC3, cv::Scalar(0, 0, 0));
  colour.at<cv::Vec3f>(0, 0) = {1, 1, 1};
  colour.at<cv::Vec3f>(8, 8) = {1, 1, 1};
  cv::Mat contrast(20, 20, CV_32FC1, cv::Scalar(0.5));
  ImageAttention::AddLocalContrast(colour, contrast);
  EXPECT_FLOAT_EQ(contrast.at<float>(0, 0), 0.5f + 3.0f * 24 / 25);  // corner: 25 positions
  EXPECT_FLOAT_EQ(contrast.at<float>(8, 8), 0.5f + 3.0f * 80 / 81);  // centre: 81 positions
  // Radius 4: (8, 12) sees the pixel at (8, 8), (8, 13) does not.
  EXPECT_FLOAT_EQ(contrast.at<float>(8, 12), 0.5f + 3.0f / 81);
  EXPECT_FLOAT_EQ(contrast.at<float>(8, 13), 0.5f);
  // Clipped at the top and left: rows 0..6, columns 0..7, 56 positions.
  EXPECT_FLOAT_EQ(contrast.at<float>(2, 3), 0.5f + 3.0f / 56);
}

TEST(MultiScaleContrast, UnitRangeAndFlatImageGivesZero) {
  cv::Mat colour(256, 336, CV_32FC3, cv::Scalar(0.2, 0.2, 0.2));
  cv::rectangle(colour, cv::Rect(150, 100, 40, 40), cv::Scalar(0.9, 0.1, 0.1), cv::FILLED);
  cv::Mat out(256, 336, CV_32FC1);
  ImageAttention::MultiScaleContrast(colour, out);
  ASSERT_EQ(out.size(), cv::Size(336, 256));
  double lo, hi;
  cv::minMaxLoc(out, &lo, &hi);
  EXPECT_NEAR(lo, 0.0, 1e-6);
  EXPECT_NEAR(hi, 1.0, 1e-6);
  EXPECT_GT(out.at<float>(100, 170), 0.5f);  // the square's edge
  EXPECT_LT(out.at<float>(10, 10), 0.05f);   // far background

  // Resizing a flat image leaves rounding noise that must not be stretched.
  cv::Mat flat(256, 336, CV_32FC3, cv::Scalar(90 / 255.0, 120 / 255.0, 150 / 255.0));
  ImageAttention::MultiScaleContrast(flat, out);
  EXPECT_TRUE(AllWithin(out, 0.0, 0.0));
}

// ---- Colour mixture --------------------------------------------------------

TEST(GmmComponent, DensityIsUnnormalisedGaussianAndZeroForBadDeterminant) {
  GmmComponent comp{};
  comp.mean[0] = 1;
  comp.mean[1] = 2;
  comp.mean[2] = 3;
  comp.inverse[0] = comp.inverse[4] = comp.inverse[8] = 1;
  comp.determinant = 4;
  const float atMean[3] = {1, 2, 3};
  const float off[3] = {2, 2, 3};
  EXPECT_FLOAT_EQ(comp.Density(atMean), 0.5f);
  EXPECT_FLOAT_EQ(comp.Density(off), 0.5f * std::exp(-0.5f));
  comp.determinant = 0;
  EXPECT_EQ(comp.Density(atMean), 0.0f);
  comp.determinant = -1;
  EXPECT_EQ(comp.Density(atMean), 0.0f);
  // Indefinite yet with a positive determinant: the exponential overflows.
  comp.determinant = 1;
  comp.inverse[0] = comp.inverse[4] = -1;
  const float far[3] = {101, 102, 3};
  EXPECT_EQ(comp.Density(far), 0.0f);
}

TEST(GmmFitter, FinalizeWritesMomentsAndEmptyOnlyClearsWeight) {
  GmmFitter fitter;
  const float colours[4][3] = {{0, 0, 0}, {2, 0, 0}, {0, 4, 0}, {2, 4, 0}};
  for (const auto& c : colours) fitter.Add(c);
  GmmComponent comp{};
  fitter.Finalize(comp, 8, true);
  EXPECT_FLOAT_EQ(comp.mean[0], 1);
  EXPECT_FLOAT_EQ(comp.mean[1], 2);
  EXPECT_FLOAT_EQ(comp.covariance[0], 1.0001f);
  EXPECT_FLOAT_EQ(comp.covariance[4], 4.0001f);
  EXPECT_FLOAT_EQ(comp.covariance[8], 0.0001f);
  EXPECT_EQ(comp.covariance[1], 0.0f);
  EXPECT_NEAR(comp.determinant, 1.0001 * 4.0001 * 0.0001, 1e-9);
  EXPECT_NEAR(comp.inverse[4], 1 / 4.0001, 1e-6);
  EXPECT_FLOAT_EQ(comp.weight, 0.5f);
  EXPECT_FLOAT_EQ(comp.eigenvalues[0], 4.0001f);
  EXPECT_FLOAT_EQ(comp.eigenvalues[2], 0.0001f);
  EXPECT_FLOAT_EQ(std::fabs(comp.eigenvectors[3]), 1.0f);  // principal axis along channel 1

  const GmmComponent before = comp;
  GmmFitter().Finalize(comp, 8, true);
  EXPECT_EQ(comp.weight, 0.0f);
  EXPECT_EQ(comp.mean[0], before.mean[0]);
  EXPECT_EQ(comp.eigenvalues[0], before.eigenvalues[0]);
}

TEST(ColorGmmBuild, ProjectionEqualToThresholdStays) {
  const cv::Mat luv = LuvRow({0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2});  // mean 1
  cv::Mat labels;
  ColorGmm gmm(2);
  gmm.Build(luv, labels);
  int moved = 0;
  for (int c = 0; c < 12; ++c) {
    if (c >= 4 && c < 8) {
      EXPECT_EQ(labels.at<int>(c), 0) << "pixel at the mean moved";
    }
    moved += labels.at<int>(c) == 1;
  }
  EXPECT_EQ(moved, 4);
  EXPECT_FLOAT_EQ(gmm.components[0].weight, 8.0f / 12);
  EXPECT_FLOAT_EQ(gmm.components[1].weight, 4.0f / 12);
}

// Two groups with identical covariances: the next split takes component 0.
TEST(ColorGmmBuild, EqualEigenvaluesSplitLowestIndex) {
  const cv::Mat luv = LuvRow({0, 0, 2, 2, 10, 10, 12, 12});
  cv::Mat labels;
  ColorGmm pair(2);
  pair.Build(luv, labels);
  ASSERT_EQ(pair.components[0].eigenvalues[0], pair.components[1].eigenvalues[0]);
  ColorGmm gmm(3);
  gmm.Build(luv, labels);
  // Whichever group moved to label 1 in the first split stays whole.
  const bool lowGroupMoved = labels.at<int>(0) == 1 || labels.at<int>(2) == 1;
  const int whole = lowGroupMoved ? 0 : 4;
  const int split = lowGroupMoved ? 4 : 0;
  for (int c = whole; c < whole + 4; ++c) EXPECT_EQ(labels.at<int>(c), 1);
  EXPECT_NE(labels.at<int>(split), labels.at<int>(split + 2));
  EXPECT_EQ(labels.at<int>(split) + labels.at<int>(split + 2), 2);  // labels 0 and 2
}

// Splitting a single-colour component leaves the new one empty; its fields stay
// cleared, so its first eigenvalue (0) cannot win the choice of the next split.
TEST(ColorGmmBuild, EmptyComponentsGetWeightZero) {
  const cv::Mat luv = LuvRow({10, 10, 10, 10, 20, 20, 20, 20});
  cv::Mat labels;
  ColorGmm gmm(4);
  gmm.Build(luv, labels);
  ASSERT_EQ(labels.type(), CV_32SC1);
  for (int c = 0; c < 8; ++c)
    EXPECT_EQ(labels.at<int>(c), c < 4 ? labels.at<int>(0) : 1 - labels.at<int>(0));
  EXPECT_FLOAT_EQ(gmm.components[0].weight, 0.5f);
  EXPECT_FLOAT_EQ(gmm.components[1].weight, 0.5f);
  for (int k = 2; k < 4; ++k) {
    EXPECT_EQ(gmm.components[k].weight, 0.0f);
    EXPECT_EQ(gmm.components[k].eigenvalues[0], 0.0f);
  }
}

TEST(ColorGmmLearn, SkipsEmptyComponentsAndRefits) {
  const cv::Mat luv = LuvRow({5, 5, 6, 6});
  ColorGmm gmm(2);
  for (GmmComponent& comp : gmm.components) {
    comp.mean[0] = 5;
    comp.inverse[0] = comp.inverse[4] = comp.inverse[8] = 1;
  }
  gmm.components[0].determinant = 1;
  gmm.components[0].weight = 0.5f;
  gmm.components[1].determinant = 0.01f;  // ten times denser, but empty
  gmm.components[1].weight = 0;
  cv::Mat labels;
  gmm.Learn(luv, labels);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(labels.at<int>(c), 0);
  EXPECT_FLOAT_EQ(gmm.components[0].weight, 1.0f);
  EXPECT_FLOAT_EQ(gmm.components[0].mean[0], 5.5f);
  EXPECT_EQ(gmm.components[1].weight, 0.0f);

  // Every density 0: every pixel gets label 0.
  gmm.components[0].weight = 0;
  gmm.Learn(luv, labels);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(labels.at<int>(c), 0);
}

// ---- Components and the combined map ---------------------------------------

TEST(ColorSpatialDistribution, CompactCentralColourStandsOut) {
  cv::Mat colour(256, 336, CV_32FC3);
  cv::randu(colour, cv::Scalar(0.4, 0.5, 0.4), cv::Scalar(0.6, 0.7, 0.5));  // green-grey ground
  cv::circle(colour, cv::Point(168, 128), 30, cv::Scalar(0.1, 0.1, 0.9), cv::FILLED);
  cv::Mat out(256, 336, CV_32FC1);
  ImageAttention::ColorSpatialDistribution(colour, out);
  ASSERT_EQ(out.size(), cv::Size(336, 256));
  EXPECT_TRUE(AllWithin(out, -0.1, 1.1));
  EXPECT_GT(out.at<float>(128, 168), 0.8f);
  EXPECT_LT(out.at<float>(10, 10), 0.2f);
}

TEST(SpectralResidual, UnitRangeOnPhoto) {
  cv::Mat grey32F;
  cv::cvtColor(Photo(336, 256), grey32F, cv::COLOR_BGR2GRAY);
  grey32F.convertTo(grey32F, CV_32F, 1.0 / 255);
  cv::Mat out(256, 336, CV_32FC1);
  ImageAttention::SpectralResidual(grey32F, out);
  ASSERT_EQ(out.size(), cv::Size(336, 256));
  EXPECT_TRUE(AllWithin(out, 0.0, 1.0));
  double lo, hi;
  cv::minMaxLoc(out, &lo, &hi);
  EXPECT_LT(lo, 0.05);
  EXPECT_GT(hi, 0.9);
}

TEST(SpectralResidual, MissingOutputFails) {
  cv::Mat missing;
  EXPECT_TRUE(Contains(AssertionReport([&] {
                         ImageAttention::SpectralResidual(cv::Mat(64, 64, CV_32FC1, cv::Scalar(0)),
                                                          missing);
                       }),
                       "Assertion: !img32F.empty\\(\\) && !saliencyMap32F.empty\\(\\) && "
                       "img32F.channels\\(\\) == 1 failed"));
}

TEST(SaliencyMap, SpansFloorToOneAtWorkingSize) {
  const cv::Mat src = Photo(640, 480);
  cv::Mat dst(256, 336, CV_32FC1);  // the working size: the final resize is a copy
  ImageAttention::GetSaliencyMap(dst, 0.2, SaliencyWeights(), src);
  double lo, hi;
  cv::minMaxLoc(dst, &lo, &hi);
  EXPECT_NEAR(lo, 0.2, 1e-6);
  EXPECT_NEAR(hi, 1.0, 1e-6);

  // With the spectral residual as well.
  ImageAttention::GetSaliencyMap(dst, 0.1, SaliencyWeights(0.5, 0.5, 0.5, 0.5), src);
  cv::minMaxLoc(dst, &lo, &hi);
  EXPECT_NEAR(lo, 0.1, 1e-6);
  EXPECT_NEAR(hi, 1.0, 1e-6);
}

TEST(SaliencyMap, DefaultMapHasSourceSize) {
  const cv::Mat src = Photo(301, 203);
  const cv::Mat map = ImageAttention::GetDefaultSaliencyMap(src);
  EXPECT_EQ(map.size(), src.size());
  EXPECT_EQ(map.type(), CV_32FC1);
  EXPECT_TRUE(AllWithin(map, 0.2 - 0.15, 1.0 + 0.15));

  cv::Mat empty;
  ImageAttention::GetSaliencyMap(empty, 0.2, SaliencyWeights(), src);
  EXPECT_EQ(empty.size(), src.size());
}

TEST(SaliencyMap, NoComponentsGivesFloor) {
  cv::Mat dst(300, 400, CV_32FC1);
  ImageAttention::GetSaliencyMap(dst, 0.3, SaliencyWeights(0, 0, 0, 0), Photo(400, 300));
  EXPECT_TRUE(AllWithin(dst, 0.3 - 1e-6, 0.3 + 1e-6));
}

TEST(SaliencyMap, DegenerateImagesStayFiniteAndInRange) {
  cv::Mat twoColours(300, 400, CV_8UC3, cv::Scalar(200, 30, 30));
  twoColours.colRange(0, 200).setTo(cv::Scalar(10, 220, 40));
  cv::Mat small(128, 128, CV_8UC3);
  cv::randu(small, cv::Scalar::all(0), cv::Scalar::all(256));
  const cv::Mat images[] = {
      cv::Mat(300, 400, CV_8UC3, cv::Scalar(90, 120, 150)),
      cv::Mat(300, 400, CV_8UC3, cv::Scalar(0, 0, 0)),
      twoColours,
      small,
      Photo(4000, 128),
      Photo(128, 4000),
  };
  for (const cv::Mat& src : images) {
    const cv::Mat map = ImageAttention::GetDefaultSaliencyMap(src);
    EXPECT_EQ(map.size(), src.size());
    EXPECT_TRUE(AllWithin(map, 0.2 - 0.15, 1.0 + 0.15)) << src.cols << " x " << src.rows;
  }
  // One colour everywhere: nothing varies, so everything is the floor.
  EXPECT_TRUE(AllWithin(ImageAttention::GetDefaultSaliencyMap(images[0]), 0.2 - 1e-6, 0.2 + 1e-6));
}

TEST(SaliencyMapDeathTest, TooSmallSourcePrintsAndFails) {
  // In a child, so that its standard output can be caught.
  const std::string out = testing::TempDir() + "qx_too_small_stdout.txt";
  std::remove(out.c_str());
  EXPECT_EXIT(
      {
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) std::_Exit(2);
        const std::string report = AssertionReport([] {
          ImageAttention::GetDefaultSaliencyMap(cv::Mat(400, 100, CV_8UC3, cv::Scalar(0)));
        });
        std::fprintf(stderr, "%s", report.c_str());
        std::exit(1);
      },
      testing::ExitedWithCode(1),
      "Assertion: !work8U3C\\.empty\\(\\) failed in function 'ImageAttention::GetSaliencyMap'");
  EXPECT_EQ(ReadFile(out), "Input image is too small: 100 * 400\n");
  std::remove(out.c_str());
}

TEST(SaliencyMap, GreySourceFails) {
  EXPECT_TRUE(Contains(AssertionReport([] {
                         ImageAttention::GetDefaultSaliencyMap(
                             cv::Mat(300, 300, CV_8UC1, cv::Scalar(0)));
                       }),
                       "Assertion: src8U3C\\.depth\\(\\) == CV_8U && src8U3C\\.channels\\(\\) == 3 "
                       "failed"));
}
