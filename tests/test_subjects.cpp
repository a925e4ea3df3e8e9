// Subjects kept: faces in the computed map, round and compact objects moved
// by one similarity each.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/resize_host.hpp"
#include "saliency/face_detect.hpp"
#include "saliency/image_attention.hpp"
#include "saliency/round_objects.hpp"
#include "test_support.hpp"

namespace {

using quadrix::ResizeHost;
using quadrix::ResizeSettings;
using quadrix::ResultParts;
using quadrix::TripletMatrix;

const std::string kFacePhoto =
    std::string(QUADRIX_SOURCE_DIR) + "/tests/data/grace_hopper_small.jpg";

// A dark disc of radius r at `centre` on a light, slightly noisy ground.
cv::Mat DiscPhoto(cv::Size size, cv::Point centre, int r) {
  cv::Mat img(size, CV_8UC3, cv::Scalar(200, 205, 210));
  cv::Mat noise(size, CV_8UC3);
  cv::randn(noise, 0, 3);
  img += noise;
  cv::circle(img, centre, r, cv::Scalar(40, 60, 170), cv::FILLED, cv::LINE_AA);
  return img;
}

struct Built {
  ResizeHost host;
  TripletMatrix a;
};

// A host for `photo` with `parts`, its map flat (file) or computed.
void Build(Built& b, const cv::Mat& photo, ResultParts parts, bool flatMap) {
  ResizeSettings settings;
  settings.printDiagnostics = false;
  settings.parts = parts;
  b.host = ResizeHost(settings);
  const cv::Mat flat(photo.size(), CV_8UC1, cv::Scalar(128));
  ASSERT_TRUE(b.host.LoadImportance(photo.clone(), flatMap ? flat : cv::Mat()));
  b.host.SetEnergyObserver([&b](const TripletMatrix& a) { b.a = a; });
  b.host.BuildEquationA();
}

// `photo` on a flat map with the classic parts, with and without shapes.
void BuildWithAndWithoutShapes(const cv::Mat& photo, Built& with, Built& without) {
  ResultParts on = ResultParts::Classic();
  on.shapes = true;
  Build(with, photo, on, true);
  Build(without, photo, ResultParts::Classic(), true);
}

// How far the solved mesh is from one similarity over the grid vertices
// within `r` of `centre` (rest pixels): the ratio of the singular values of
// the best affine map from rest to solved positions.
double Anisotropy(const ResizeHost& host, cv::Point2d centre, double r) {
  cv::Mat m(0, 3, CV_64F), t(0, 2, CV_64F);
  for (size_t p = 0; 2 * p + 1 < host.restCoords().size(); ++p) {
    const cv::Point2d rest(host.restCoords()[2 * p], host.restCoords()[2 * p + 1]);
    if (cv::norm(rest - centre) > r) continue;
    m.push_back(cv::Mat(cv::Matx13d(rest.x, rest.y, 1.0)));
    t.push_back(cv::Mat(cv::Matx12d(host.solution64()[2 * p], host.solution64()[2 * p + 1])));
  }
  EXPECT_GE(m.rows, 6);
  cv::Mat affine;
  cv::solve(m, t, affine, cv::DECOMP_SVD);
  cv::Mat w;
  cv::SVD::compute(affine.rowRange(0, 2), w);
  return w.at<double>(0) / w.at<double>(1);
}

std::vector<double> Times(const TripletMatrix& a, const std::vector<double>& x) {
  std::vector<double> y(static_cast<size_t>(a.m), 0.0);
  for (const auto& e : a.entries) y[e.row] += e.value * x[e.col];
  return y;
}

TEST(Shapes, DiscKeepsItsShapeOnAFlatMap) {
  const cv::Mat photo = DiscPhoto({400, 300}, {150, 150}, 60);
  const std::vector<cv::RotatedRect> found = quadrix::FindCompactObjects(photo, 20);
  ASSERT_FALSE(found.empty());
  EXPECT_NEAR(found[0].center.x, 150, 4);
  EXPECT_NEAR(found[0].center.y, 150, 4);
  EXPECT_NEAR(found[0].size.width, 120, 8);

  ResultParts on = ResultParts::Classic();
  on.shapes = true;
  double aniso[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    Built b;
    Build(b, photo, k == 0 ? on : ResultParts::Classic(), true);
    b.host.Resize(600, 300);  // 2:1 from 4:3
    aniso[k] = Anisotropy(b.host, {150, 150}, 55);
  }
  EXPECT_LT(aniso[0], 1.03) << aniso[1];  // kept round
  EXPECT_GT(aniso[1], 1.10) << aniso[0];  // stretched with the rest
}

// A patch over a fifth of the photo is ground (a plain wall) rather than a
// subject: holding its shape would squeeze what stands beside it.
TEST(Shapes, APatchOverMuchOfThePhotoIsNotHeld) {
  const cv::Mat photo = DiscPhoto({400, 300}, {200, 150}, 85);
  ASSERT_FALSE(quadrix::FindCompactObjects(photo, 20).empty());
  Built with, without;
  BuildWithAndWithoutShapes(photo, with, without);
  EXPECT_EQ(with.a.m, without.a.m);
}

TEST(Shapes, RowsAddNoEnergyAtPlainScalingAndNothingWhenOff) {
  const cv::Mat photo = DiscPhoto({400, 300}, {250, 140}, 50);
  Built with, without;
  BuildWithAndWithoutShapes(photo, with, without);
  ASSERT_GT(with.a.m, without.a.m);
  // Off, the energy is the classic one: the same rows, then nothing.
  ASSERT_EQ(with.host.restCoords(), without.host.restCoords());
  std::vector<double> x = with.host.restCoords();
  for (size_t k = 0; k < x.size(); ++k) x[k] = x[k] * 1.7 + (k % 2 == 0 ? 3.0 : -2.0);
  const std::vector<double> y = Times(with.a, x);
  const std::vector<double> y0 = Times(without.a, x);
  for (size_t r = 0; r < y0.size(); ++r) ASSERT_NEAR(y[r], y0[r], 1e-9) << "row " << r;
  // Plain scaling with the photo's aspect (and a shift) is one similarity.
  for (size_t r = y0.size(); r < y.size(); ++r) ASSERT_NEAR(y[r], 0.0, 1e-6) << "row " << r;
  // A turn the quads do not see is not free for the shape units either.
  std::vector<double> sheared = with.host.restCoords();
  for (size_t k = 0; k + 1 < sheared.size(); k += 2) sheared[k] += 0.3 * sheared[k + 1];
  const std::vector<double> ys = Times(with.a, sheared);
  double shapeEnergy = 0;
  for (size_t r = y0.size(); r < ys.size(); ++r) shapeEnergy += ys[r] * ys[r];
  EXPECT_GT(shapeEnergy, 1.0);
}

TEST(Shapes, NothingCompactInFlatOrTinyImages) {
  EXPECT_TRUE(
      quadrix::FindCompactObjects(cv::Mat(300, 400, CV_8UC3, cv::Scalar(90, 90, 90)), 20).empty());
  EXPECT_TRUE(quadrix::FindCompactObjects(DiscPhoto({30, 30}, {15, 15}, 8), 4).empty());
}

TEST(Faces, FoundOnAPortraitAndRaiseTheComputedMap) {
  const cv::Mat photo = cv::imread(kFacePhoto, cv::IMREAD_COLOR);
  ASSERT_FALSE(photo.empty()) << kFacePhoto;
  const quadrix::FaceSearch search = quadrix::DetectFaces(photo);
  ASSERT_EQ(search.faces.size(), 1u) << search.notice;
  const cv::Rect face = search.faces[0];
  // The face is in the middle of the upper half (eyes near y = 85).
  EXPECT_NEAR(face.x + face.width / 2, 103, 12);
  EXPECT_NEAR(face.y + face.height / 2, 88, 15);

  ResultParts faces = ResultParts::Classic();
  faces.faces = true;
  Built on, off;
  Build(on, photo, faces, false);
  Build(off, photo, ResultParts::Classic(), false);
  ASSERT_EQ(on.host.faces().size(), 1u);
  EXPECT_TRUE(off.host.faces().empty());
  const cv::Rect inner = on.host.faces()[0];
  const double raised = cv::mean(on.host.imgSal()(inner))[0];
  const double plain = cv::mean(off.host.imgSal()(inner))[0];
  EXPECT_GT(raised, 0.97);
  EXPECT_GT(raised, plain + 0.1);
  // Far from the face and the body below it the map is the same.
  const cv::Rect corner(0, 0, 30, 30);
  EXPECT_EQ(cv::norm(on.host.imgSal()(corner), off.host.imgSal()(corner), cv::NORM_INF), 0.0);
  // Off, the map is the computed one, aligned.
  cv::Mat expected = quadrix::ImageAttention::GetDefaultSaliencyMap(photo);
  on.host.AlignToQuadSize(expected);
  EXPECT_EQ(cv::norm(expected, off.host.imgSal(), cv::NORM_INF), 0.0);
  // A map from a file is the user's: no faces painted in.
  Built file;
  Build(file, photo, faces, true);
  EXPECT_TRUE(file.host.faces().empty());
  // The copy for a repainted map keeps the faces without searching again.
  const ResizeHost copy = on.host.CopyForImportance(on.host.imgSal());
  EXPECT_EQ(copy.faces(), on.host.faces());
}

TEST(Faces, RaisedRegionIsSoftAndNeverLowers) {
  cv::Mat sal(200, 200, CV_32FC1, cv::Scalar(0.3));
  sal(cv::Rect(0, 0, 200, 20)).setTo(0.9);
  const cv::Mat before = sal.clone();
  quadrix::RaiseImportanceOverFaces(sal, {cv::Rect(70, 60, 60, 60)}, 1.0f);
  EXPECT_FLOAT_EQ(sal.at<float>(90, 100), 1.0f);
  cv::Mat lowered = sal < before;
  EXPECT_EQ(cv::countNonZero(lowered), 0);
  // The edge fades: a point just outside the ellipse lies between.
  const cv::RotatedRect e = quadrix::FaceRegion({70, 60, 60, 60});
  const int yBelow = static_cast<int>(e.center.y + 0.5 * e.size.height * 1.15);
  const float fade = sal.at<float>(yBelow, 100);
  EXPECT_GT(fade, 0.3f);
  EXPECT_LT(fade, 1.0f);
  // The body below is raised less than the face; beside the head nothing.
  EXPECT_FLOAT_EQ(sal.at<float>(199, 100), 0.8f);
  EXPECT_FLOAT_EQ(sal.at<float>(40, 199), 0.3f);
}

// The one test that meets a missing cascade: the notice is given once per
// process.
TEST(Faces, MissingCascadeGivesANoticeOnceAndNoFaces) {
  ASSERT_EQ(setenv("QUADRIX_FACE_CASCADE", "/nonexistent/cascade.xml", 1), 0);
  const cv::Mat photo = cv::imread(kFacePhoto, cv::IMREAD_COLOR);
  const quadrix::FaceSearch first = quadrix::DetectFaces(photo);
  const quadrix::FaceSearch second = quadrix::DetectFaces(photo);
  unsetenv("QUADRIX_FACE_CASCADE");
  EXPECT_TRUE(first.faces.empty());
  EXPECT_NE(first.notice.find("/nonexistent/cascade.xml"), std::string::npos) << first.notice;
  EXPECT_TRUE(second.notice.empty());
  EXPECT_TRUE(second.faces.empty());

  // The program says it on standard error, once for two photos, and goes on.
  testsupport::TempDir dir;
  const std::string a = dir / "a.jpg";
  const std::string b = dir / "b.jpg";
  std::filesystem::copy_file(kFacePhoto, a);
  std::filesystem::copy_file(kFacePhoto, b);
  const testsupport::CommandResult r = testsupport::Run(
      "QUADRIX_FACE_CASCADE=/nonexistent/cascade.xml " + testsupport::Quote(QUADRIX_CLI_PATH) +
      " --batch -j 1 1 --size 150x234 -o " + testsupport::Quote(dir / "{name}_out.png") + " " +
      testsupport::Quote(a) + " " + testsupport::Quote(b));
  EXPECT_TRUE(std::filesystem::exists(dir / "b_out.png"));
  EXPECT_EQ(r.status, 0) << r.err;
  size_t count = 0;
  for (size_t at = r.err.find("not found"); at != std::string::npos;
       at = r.err.find("not found", at + 1))
    ++count;
  EXPECT_EQ(count, 1u) << r.err;
}

}  // namespace
