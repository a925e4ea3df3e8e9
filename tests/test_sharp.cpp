// The picture drawn with the resampling filter: the photo itself at its own
// size, plain scaling as sharp as a good resize and minifying without
// aliasing, on the GPU and on the processor alike.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "interop_gl/cpu_raster.hpp"
#include "interop_gl/offscreen.hpp"
#include "interop_gl/photo_warp.hpp"
#include "test_support.hpp"

using namespace quadrix;
using testsupport::Quote;

namespace {

// The ways of drawing a picture of one photo: the GPU, the processor's
// reference, and the processor's 8-bit warp for big photos (colour only).
enum class Path { kGl, kCpu, kWarper };

std::string Name(Path p) {
  return p == Path::kGl ? "GPU" : p == Path::kCpu ? "processor" : "8-bit warp";
}

std::vector<float> Grid(int vx, int vy, double w, double h) {
  std::vector<float> xy;
  for (int j = 0; j < vy; ++j)
    for (int i = 0; i < vx; ++i) {
      xy.push_back(static_cast<float>(i * w / (vx - 1)));
      xy.push_back(static_cast<float>(j * h / (vy - 1)));
    }
  return xy;
}

// Grey importance of `size` (the aligned size, a few pixels short).
cv::Mat Importance(cv::Size size) {
  cv::Mat g(size, CV_32FC1);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) g.at<float>(y, x) = static_cast<float>(x) / size.width;
  return g;
}

// A crop of the bundled photo (868 x 600): facade detail at full resolution.
cv::Mat Photo(cv::Size size = {868, 600}) {
  return testsupport::Sample()(cv::Rect({0, 0}, size)).clone();
}

// The colour image over a grid of 20-pixel quads spanning it, drawn at
// `target` with every grid vertex scaled alike.
class Drawer {
 public:
  Drawer(const cv::Mat& colour, bool filtered)
      : colour_(colour), filtered_(filtered), warper_(colour) {
    const cv::Size aligned(colour.cols / 20 * 20, colour.rows / 20 * 20);
    vx_ = aligned.width / 20 + 1;
    vy_ = aligned.height / 20 + 1;
    gl_ = std::make_unique<OffscreenRenderer>();
    if (gl_->status() == OffscreenRenderer::Status::kReady)
      gl_->SetImages(colour, Importance(aligned));
    gl_->state().filtered = filtered;
    cpu_.SetFiltered(filtered);
    cpu_.SetImages(colour, Importance(aligned));
  }
  bool HasGl() const { return gl_->status() == OffscreenRenderer::Status::kReady; }
  bool filtered() const { return filtered_; }

  cv::Mat Draw(Path path, cv::Size target, int texture = 0) {
    return Draw(path, Grid(vx_, vy_, target.width, target.height), target, texture);
  }
  cv::Mat Draw(Path path, const std::vector<float>& xy, cv::Size target, int texture = 0) {
    if (path == Path::kCpu) return cpu_.Render(vx_, vy_, xy, target, false, texture);
    if (path == Path::kWarper) return warper_.Render(vx_, vy_, xy, target);
    cv::Mat pic;
    EXPECT_TRUE(gl_->Render(vx_, vy_, xy, target, false, texture, pic));
    return pic;
  }

 private:
  cv::Mat colour_;
  bool filtered_;
  PhotoWarper warper_;
  int vx_ = 0, vy_ = 0;
  std::unique_ptr<OffscreenRenderer> gl_;
  CpuRasterizer cpu_;
};

std::vector<Path> Paths(const Drawer& d, bool colour = true) {
  std::vector<Path> paths;
  if (d.HasGl())
    paths.push_back(Path::kGl);
  else
    ADD_FAILURE() << "no OpenGL context: only the processor's pictures are checked";
  paths.push_back(Path::kCpu);
  if (colour && d.filtered()) paths.push_back(Path::kWarper);
  return paths;
}

// Mean Sobel gradient magnitude of the grey picture.
double Sharpness(const cv::Mat& bgr) {
  cv::Mat grey, dx, dy, mag;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::Sobel(grey, dx, CV_32F, 1, 0);
  cv::Sobel(grey, dy, CV_32F, 0, 1);
  cv::magnitude(dx, dy, mag);
  return cv::mean(mag)[0];
}

}  // namespace

TEST(SharpPicture, RestGridGivesThePhotoPixelForPixel) {
  // Sizes of whole quads and not: the grid spans the photo, not the
  // aligned image, and the importance image stays the aligned size.
  for (const cv::Size size : {cv::Size(868, 600), cv::Size(410, 290), cv::Size(860, 600)}) {
    const cv::Mat photo = Photo(size);
    Drawer d(photo, true);
    for (Path p : Paths(d)) {
      const cv::Mat pic = d.Draw(p, size);
      ASSERT_EQ(pic.size(), size);
      EXPECT_EQ(cv::norm(pic, photo, cv::NORM_INF), 0.0) << Name(p) << " " << size;
    }
  }
}

TEST(SharpPicture, ImportanceSpansThePhotoWhateverItsSize) {
  // 410 x 290 colour, 400 x 280 importance: both paths stretch the map over
  // the whole picture, its right column near 1 (x / width of the map).
  Drawer d(Photo({410, 290}), true);
  std::vector<cv::Mat> pics;
  for (Path p : Paths(d, false)) {
    pics.push_back(d.Draw(p, {410, 290}, 1));
    const cv::Mat& pic = pics.back();
    EXPECT_LE(pic.at<cv::Vec3b>(100, 0)[1], 2) << Name(p);
    EXPECT_GE(pic.at<cv::Vec3b>(100, 409)[1], 250) << Name(p);
    EXPECT_NEAR(pic.at<cv::Vec3b>(100, 205)[1], 127.5, 2.0) << Name(p);
  }
  if (pics.size() == 2) {
    EXPECT_LE(cv::norm(pics[0], pics[1], cv::NORM_INF), 2.0);
  }
}

TEST(SharpPicture, PlainScalingIsAsSharpAsAGoodResize) {
  // Yardstick: OpenCV's Lanczos (enlarging) and area averaging (reducing).
  // A bilinear drawing falls short when enlarging, which the test checks
  // too, so that the bound means something.
  const cv::Mat photo = Photo();
  Drawer sharp(photo, true);
  Drawer bilinear(photo, false);
  for (const double f : {1.5, 2.0, 0.5, 0.33}) {
    const cv::Size size(static_cast<int>(std::lround(photo.cols * f)),
                        static_cast<int>(std::lround(photo.rows * f)));
    cv::Mat ref;
    cv::resize(photo, ref, size, 0, 0, f > 1 ? cv::INTER_LANCZOS4 : cv::INTER_AREA);
    const double bound = 0.97 * Sharpness(ref);
    for (Path p : Paths(sharp)) {
      const cv::Mat pic = sharp.Draw(p, size);
      EXPECT_GE(Sharpness(pic), bound) << Name(p) << " x" << f;
      // Sharp, not ringing or aliased: close to the yardstick.
      cv::Mat diff;
      cv::absdiff(pic, ref, diff);
      EXPECT_LE(cv::mean(diff)[0], f > 1 ? 3.0 : 4.0) << Name(p) << " x" << f;
    }
    if (f > 1) {
      EXPECT_LT(Sharpness(bilinear.Draw(Path::kCpu, size)), bound) << "x" << f;
    }
  }
}

TEST(SharpPicture, MinifyingAveragesFineDetail) {
  // One-pixel stripes reduced to a third are an even grey: sampling them
  // without a filter shows bands of black and white (moiré).
  cv::Mat stripes(600, 860, CV_8UC3);
  for (int x = 0; x < stripes.cols; ++x)
    stripes.col(x).setTo(cv::Scalar::all(x % 2 == 0 ? 0 : 255));
  const cv::Size third(287, 200);
  Drawer sharp(stripes, true);
  for (Path p : Paths(sharp)) {
    cv::Mat mean, dev;
    cv::meanStdDev(sharp.Draw(p, third)(cv::Rect(4, 4, 279, 192)), mean, dev);
    EXPECT_NEAR(mean.at<double>(0), 127.5, 3.0) << Name(p);
    EXPECT_LE(dev.at<double>(0), 6.0) << Name(p);
  }
  cv::Mat mean, dev;
  Drawer bilinear(stripes, false);
  cv::meanStdDev(bilinear.Draw(Path::kCpu, third), mean, dev);
  EXPECT_GT(dev.at<double>(0), 30.0);
}

TEST(SharpPicture, EightBitWarpDrawsTheProcessorPictureOfAnyMesh) {
  // A mesh squeezed to a tenth on the left (a mip level), enlarged on the
  // right, its rows bent and the whole moved down 12 pixels: the big-photo
  // warp draws what the processor's reference draws, white above.
  const cv::Mat photo = Photo();
  Drawer d(photo, true);
  const int vx = 868 / 20 + 1, vy = 600 / 20 + 1;
  std::vector<float> xy;
  for (int j = 0; j < vy; ++j)
    for (int i = 0; i < vx; ++i) {
      const double u = static_cast<double>(i) / (vx - 1);
      const double x = u < 0.5 ? 86.8 * u : 43.4 + 2.0 * 651.0 * (u - 0.5);
      const double y = 12.0 + 600.0 * j / (vy - 1) + 6.0 * std::sin(6.0 * u);
      xy.push_back(static_cast<float>(x));
      xy.push_back(static_cast<float>(y));
    }
  const cv::Size target(694, 620);
  const cv::Mat ref = d.Draw(Path::kCpu, xy, target);
  // The AVX2 samplers (where the processor has them) and the baseline ones,
  // which read the texels at the photo's right and bottom edges differently.
  cv::Mat pictures[2];
  for (const bool baseline : {false, true}) {
    UseBaselineWarpForTesting(baseline);
    const cv::Mat pic = d.Draw(Path::kWarper, xy, target);
    UseBaselineWarpForTesting(false);
    ASSERT_EQ(pic.size(), target);
    cv::Mat diff;
    cv::absdiff(pic, ref, diff);
    EXPECT_LE(cv::mean(diff)[0], 0.5) << "baseline " << baseline;
    EXPECT_LE(cv::norm(diff, cv::NORM_INF), 4.0) << "baseline " << baseline;
    EXPECT_EQ(cv::countNonZero(pic.rowRange(0, 5).reshape(1) != 255), 0);
    pictures[baseline ? 1 : 0] = pic;
  }
  EXPECT_LE(cv::norm(pictures[0], pictures[1], cv::NORM_INF), 1.0) << "only rounding differs";
}

// --- quadrix-cli ------------------------------------------------------------

namespace {

struct CliRun {
  cv::Mat picture;
  int status = -1;
  std::string err;
};

CliRun Cli(const std::string& env, const std::string& args, const std::string& out) {
  const auto r =
      testsupport::Run(env + " " + Quote(QUADRIX_CLI_PATH) + " " + args + " -o " + Quote(out));
  return {cv::imread(out, cv::IMREAD_COLOR), r.status, r.err};
}

}  // namespace

TEST(SharpCli, WithoutSizeThePictureIsThePhotoInEitherModeAndPath) {
  testsupport::TempDir dir;
  for (const cv::Size size : {cv::Size(868, 600), cv::Size(410, 290)}) {
    const cv::Mat photo = Photo(size);
    const std::string src = dir / "src.png";
    cv::imwrite(src, photo);
    for (const std::string env : {"", "QUADRIX_NO_OPENGL=1"})
      for (const std::string mode : {"0", "1"}) {
        const CliRun r = Cli(env, mode + " " + Quote(src), dir / "out.png");
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.picture.size(), size) << env << " mode " << mode;
        EXPECT_EQ(cv::norm(r.picture, photo, cv::NORM_INF), 0.0)
            << env << " mode " << mode << " " << size;
      }
  }
}

TEST(SharpCli, NoSharpDrawsBilinearFromTheAlignedImage) {
  testsupport::TempDir dir;
  const std::string src = dir / "src.png";
  cv::imwrite(src, Photo());
  for (const std::string env : {"", "QUADRIX_NO_OPENGL=1"}) {
    const std::string args = "--uniform --size 1302x900 1 " + Quote(src);
    const CliRun sharp = Cli(env, args, dir / "sharp.png");
    const CliRun old = Cli(env, "--no-sharp " + args, dir / "old.png");
    ASSERT_EQ(sharp.status, 0) << sharp.err;
    ASSERT_EQ(old.status, 0) << old.err;
    ASSERT_EQ(old.picture.size(), cv::Size(1302, 900));
    EXPECT_LT(Sharpness(old.picture), 0.95 * Sharpness(sharp.picture)) << env;
  }
}

TEST(SharpCli, BigPhotoIsItselfAtItsOwnSizeAndFillsEveryOtherSize) {
  // Longer than the working side: analysed on a copy, drawn from the photo
  // decoded again, on the processor.
  testsupport::TempDir dir;
  cv::Mat photo;
  cv::resize(Photo(), photo, {1800, 1244}, 0, 0, cv::INTER_CUBIC);
  const std::string src = dir / "big.png";
  cv::imwrite(src, photo);
  const auto r = testsupport::Run(Quote(QUADRIX_CLI_PATH) + " --size 1800x1244 --size 900x1244 1 " +
                                  Quote(src) + " -o " + Quote(dir / "out_{w}.png"));
  ASSERT_EQ(r.status, 0) << r.err;
  const cv::Mat same = cv::imread(dir / "out_1800.png", cv::IMREAD_COLOR);
  ASSERT_EQ(same.size(), photo.size());
  EXPECT_EQ(cv::norm(same, photo, cv::NORM_INF), 0.0);
  // Half as wide: every pixel drawn (no white gaps), as sharp as the photo.
  const cv::Mat narrow = cv::imread(dir / "out_900.png", cv::IMREAD_COLOR);
  ASSERT_EQ(narrow.size(), cv::Size(900, 1244));
  cv::Mat white;
  cv::inRange(narrow, cv::Scalar::all(255), cv::Scalar::all(255), white);
  EXPECT_LT(cv::countNonZero(white), narrow.total() / 1000);
  EXPECT_GT(Sharpness(narrow), 0.9 * Sharpness(photo));
}
