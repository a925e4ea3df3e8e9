// A big photo analysed and solved on a reduced working copy: the mesh spans
// the photo, the picture at the photo's size is the photo, and the solve is
// close to the one at full size.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/inputs.hpp"
#include "core/resize_host.hpp"
#include "test_support.hpp"

using namespace quadrix;
using testsupport::TempDir;

namespace {

ResizeSettings Settings(int workSide) {
  ResizeSettings s;
  s.workSide = workSide;
  s.printDiagnostics = false;
  s.parts.faces = false;  // no cascade needed here
  return s;
}

// The solved grid as a map from the photo's rest grid (fractions 0..1) to
// the picture, sampled bilinearly.
cv::Point2d MeshAt(const ResizeHost& h, double u, double v) {
  const int nx = h.quadCountX(), ny = h.quadCountY();
  const double gx = u * nx, gy = v * ny;
  const int i = std::clamp(static_cast<int>(gx), 0, nx - 1);
  const int j = std::clamp(static_cast<int>(gy), 0, ny - 1);
  const double fx = gx - i, fy = gy - j;
  auto at = [&](int jj, int ii) {
    const size_t p = static_cast<size_t>(jj) * (nx + 1) + ii;
    return cv::Point2d(h.solution()[2 * p], h.solution()[2 * p + 1]);
  };
  return (1 - fx) * (1 - fy) * at(j, i) + fx * (1 - fy) * at(j, i + 1) +
         (1 - fx) * fy * at(j + 1, i) + fx * fy * at(j + 1, i + 1);
}

}  // namespace

TEST(WorkingCopy, SizesAndTheMapsThatFit) {
  EXPECT_EQ(WorkingSize({4000, 3000}, 1600), cv::Size(1600, 1200));
  EXPECT_EQ(WorkingSize({3000, 4000}, 1600), cv::Size(1200, 1600));
  EXPECT_EQ(WorkingSize({1600, 900}, 1600), cv::Size(1600, 900));
  EXPECT_EQ(WorkingSize({4000, 3000}, 0), cv::Size(4000, 3000));
  EXPECT_EQ(WorkingSize({5000, 7}, 1000), cv::Size(1000, 1));
  // A map made for the photo, or written at its working size, fits; others not.
  EXPECT_NO_THROW(CheckImportanceFits("s", {2400, 1800}, "i", {2400, 1800}, 20, 800));
  EXPECT_NO_THROW(CheckImportanceFits("s", {2400, 1800}, "i", {800, 600}, 20, 800));
  EXPECT_THROW(CheckImportanceFits("s", {2400, 1800}, "i", {800, 600}, 20, 0), InputError);
  EXPECT_THROW(CheckImportanceFits("s", {2400, 1800}, "i", {1000, 750}, 20, 800), InputError);
}

TEST(WorkingCopy, MeshSpansThePhotoAndFollowsTheFullSolve) {
  const cv::Mat photo = testsupport::Sample({1736, 1200});
  ResizeHost work(Settings(600));
  ASSERT_TRUE(work.LoadImportance(photo, {}));
  ResizeHost full(Settings(0));
  ASSERT_TRUE(full.LoadImportance(photo, {}));
  // Analysis at 600 x 415, aligned to whole quads; the rest grid is the photo.
  EXPECT_EQ(cv::Size(work.srcWidth(), work.srcHeight()), AlignedSize({600, 415}, 20));
  EXPECT_EQ(work.RestSize(), photo.size());
  EXPECT_EQ(work.DrawImage().data, photo.data) << "drawn from the photo itself";
  EXPECT_EQ(cv::Size(full.srcWidth(), full.srcHeight()), AlignedSize(photo.size(), 20));
  work.BuildEquationA();
  full.BuildEquationA();

  // At the photo's own size the mesh is the rest grid: the picture is the photo.
  work.Resize(photo.cols, photo.rows);
  for (const auto& [u, v] : {std::pair{0.0, 0.0}, {0.37, 0.61}, {1.0, 1.0}}) {
    const cv::Point2d p = MeshAt(work, u, v);
    EXPECT_NEAR(p.x, u * photo.cols, 1e-3);
    EXPECT_NEAR(p.y, v * photo.rows, 1e-3);
  }
  // Narrower and wider: the border pinned to the new size, and the mesh
  // near the full-size solve. The two are different energies (quads three
  // times as large, the map and lines found on the copy), so they differ;
  // a mesh not carried to the photo's scale would be off by far more.
  for (const cv::Size target : {cv::Size(1200, 1200), cv::Size(2600, 1200)}) {
    work.Resize(target.width, target.height);
    full.Resize(target.width, target.height);
    EXPECT_NEAR(MeshAt(work, 1.0, 1.0).x, target.width, 1e-3);
    double worst = 0.0;
    for (int b = 0; b <= 40; ++b)
      for (int a = 0; a <= 40; ++a)
        worst = std::max(
            worst, cv::norm(MeshAt(work, a / 40.0, b / 40.0) - MeshAt(full, a / 40.0, b / 40.0)));
    EXPECT_LT(worst / photo.cols, 0.08) << target;
    EXPECT_GT(worst, 0.0) << "the two solves are not the same energy";
  }
}

TEST(WorkingCopy, ImportanceFileAtEitherSizeGivesTheSameMap) {
  TempDir dir;
  const cv::Mat photo = testsupport::Sample({1736, 1200});
  const std::string src = dir / "big.png";
  ASSERT_TRUE(cv::imwrite(src, photo));
  const std::string bigSal = dir / "big_sal.png";
  const std::string smallSal = dir / "small_sal.png";
  cv::Mat imp = testsupport::ImportanceImage(photo.size());
  ASSERT_TRUE(cv::imwrite(bigSal, imp));
  cv::Mat small;
  cv::resize(imp, small, {600, 415}, 0, 0, cv::INTER_AREA);
  ASSERT_TRUE(cv::imwrite(smallSal, small));
  ResizeHost a(Settings(600)), b(Settings(600));
  a.Load(ReadInputs(src, bigSal, 20, kDefaultMaxPixels, 600));
  b.Load(ReadInputs(src, smallSal, 20, kDefaultMaxPixels, 600));
  ASSERT_EQ(a.imgSal().size(), b.imgSal().size());
  EXPECT_LT(cv::norm(a.imgSal(), b.imgSal(), cv::NORM_INF), 0.01);
  // Without a working copy the small map does not fit the photo.
  EXPECT_THROW(ReadInputs(src, smallSal, 20, kDefaultMaxPixels, 0), InputError);
}

TEST(WorkingCopy, ReadAsItsCopyTheSolveIsTheSameAndThePhotoComesAfter) {
  // A JPEG twice the working side or more is decoded at a DCT scale: here
  // 1/2 (434 x 300), reduced to 200 x 138.
  TempDir dir;
  const cv::Mat photo = testsupport::Sample();
  const std::string src = dir / "photo.jpg";
  ASSERT_TRUE(cv::imwrite(src, photo, {cv::IMWRITE_JPEG_QUALITY, 95}));
  const cv::Mat decoded = cv::imread(src, cv::IMREAD_COLOR);
  const InputImages in = ReadWorkingInputs(src, "", 20, kDefaultMaxPixels, 200);
  EXPECT_EQ(in.photoSize, photo.size());
  ASSERT_EQ(in.source.size(), WorkingSize(photo.size(), 200));
  cv::Mat reduced;
  cv::resize(decoded, reduced, in.source.size(), 0, 0, cv::INTER_AREA);
  cv::Mat diff;
  cv::absdiff(reduced, in.source, diff);
  EXPECT_LT(cv::mean(diff)[0], 3.0);
  // The photo, decoded again for drawing, is the file's.
  EXPECT_EQ(cv::norm(ReadPhoto(in, kDefaultMaxPixels), decoded, cv::NORM_INF), 0.0);
  // The pixel limit holds against the photo, not its copy.
  EXPECT_THROW(ReadWorkingInputs(src, "", 20, 100000, 200), InputError);

  // Solved from the copy alone, the mesh is the one solved from the photo.
  ResizeHost fromPhoto(Settings(200)), fromCopy(Settings(200));
  ASSERT_TRUE(fromPhoto.LoadImportance(decoded, {}));
  ASSERT_TRUE(fromCopy.LoadWorkingCopy(reduced, decoded.size(), {}));
  EXPECT_TRUE(fromCopy.DrawImage().empty());
  EXPECT_EQ(fromCopy.RestSize(), photo.size());
  fromPhoto.BuildEquationA();
  fromCopy.BuildEquationA();
  for (const cv::Size size : {cv::Size(600, 600), cv::Size(1200, 500)}) {
    fromPhoto.Resize(size.width, size.height);
    fromCopy.Resize(size.width, size.height);
    ASSERT_EQ(fromPhoto.solution().size(), fromCopy.solution().size());
    for (size_t k = 0; k < fromPhoto.solution().size(); ++k)
      ASSERT_FLOAT_EQ(fromPhoto.solution()[k], fromCopy.solution()[k]) << size << " " << k;
  }
}
