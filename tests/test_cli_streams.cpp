// quadrix-cli in a pipe, its version, and the quality of what it writes.

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "cli_support.hpp"
#include "metadata_support.hpp"

using clisupport::Cli;
using clisupport::Inputs;
using testsupport::Quote;
using testsupport::TempDir;

namespace {

cv::Mat Decode(const std::string& bytes) {
  const std::vector<unsigned char> data(bytes.begin(), bytes.end());
  return cv::imdecode(data, cv::IMREAD_UNCHANGED);
}

// The sampling factors (h << 4 | v) of a JPEG's first component, from its
// frame header; -1 without one.
int FirstComponentSampling(const std::string& jpeg) {
  for (size_t i = 2; i + 11 < jpeg.size(); ++i)
    if (static_cast<unsigned char>(jpeg[i]) == 0xFF &&
        (static_cast<unsigned char>(jpeg[i + 1]) & 0xF0) == 0xC0 &&
        static_cast<unsigned char>(jpeg[i + 1]) != 0xC4)
      return static_cast<unsigned char>(jpeg[i + 11]);
  return -1;
}

}  // namespace

TEST(CliStreams, PhotoFromStandardInputPictureToStandardOutput) {
  Inputs in;
  const std::string jpeg = in.dir / "in.jpg";
  cv::imwrite(jpeg, testsupport::Sample({300, 200}));
  const std::string file = in.dir / "file.png";
  ASSERT_EQ(Cli("--size 240x200 -o " + Quote(file) + " 1 " + Quote(jpeg)).status, 0);

  // Standard output carries the picture alone, even with --verbose; the
  // messages go to standard error.
  const auto piped = Cli("1 - --size 240x200 -o - --verbose < " + Quote(jpeg));
  ASSERT_EQ(piped.status, 0) << piped.err;
  const cv::Mat picture = Decode(piped.out);
  ASSERT_EQ(picture.size(), cv::Size(240, 200)) << "PNG unless --format says otherwise";
  EXPECT_EQ(piped.out.rfind("\x89PNG", 0), 0u);
  EXPECT_EQ(cv::norm(picture, cv::imread(file, cv::IMREAD_UNCHANGED), cv::NORM_INF), 0.0);
  EXPECT_NE(piped.err.find("size 240x200"), std::string::npos) << piped.err;

  const auto asJpeg = Cli("1 - --size 240x200 -o - --format jpg < " + Quote(jpeg));
  ASSERT_EQ(asJpeg.status, 0) << asJpeg.err;
  EXPECT_EQ(asJpeg.out.rfind("\xFF\xD8\xFF", 0), 0u);
  EXPECT_EQ(Decode(asJpeg.out).size(), cv::Size(240, 200));
  const auto asTiff = Cli("1 " + Quote(jpeg) + " -o - --format tif");
  ASSERT_EQ(asTiff.status, 0) << asTiff.err;
  EXPECT_EQ(Decode(asTiff.out).size(), cv::Size(300, 200));

  // {name} of standard input is "stdin".
  ASSERT_EQ(
      Cli("1 - --size 240x200 -o " + Quote(in.dir / "{name}_{w}.png") + " < " + Quote(jpeg)).status,
      0);
  EXPECT_EQ(cv::imread(in.dir / "stdin_240.png").size(), cv::Size(240, 200));

  const auto empty = Cli("1 - -o - < /dev/null");
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("standard input is empty"), std::string::npos) << empty.err;
  EXPECT_EQ(empty.out, "");
}

TEST(CliStreams, UsageErrorsOfStreamsAndOfRunsWithNothingToWrite) {
  Inputs in;
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"1 " + in.Args(), "nothing to write: add -o PATTERN"},
      {"--size 240x200 1 " + Quote(in.src), "nothing to write"},
      {"--size 240x200 --size 100x100 -o - 1 " + Quote(in.src), "one picture"},
      {"--batch -o - 1 " + Quote(in.src), "one picture"},
      {"--batch -o " + Quote(in.dir / "{name}.png") + " 1 - " + Quote(in.src),
       "cannot be part of --batch"},
      {"--format jpg -o " + Quote(in.dir / "a.png") + " 1 " + Quote(in.src), "--format is"},
      {"--format gif -o - 1 " + Quote(in.src), "unknown format 'gif'"},
      {"--mesh - 1 " + Quote(in.src), "only -o can write standard output"},
      {"-o - 1 " + Quote(in.src) + " -", "the photo, not SAL"},
      {"--quality 0 -o - 1 " + Quote(in.src), "invalid quality '0'"},
      {"--quality 101 -o - 1 " + Quote(in.src), "invalid quality '101'"},
      {"--quality high -o - 1 " + Quote(in.src), "invalid quality 'high'"},
  };
  for (const auto& [args, mention] : bad) {
    const auto r = Cli(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find(mention), std::string::npos) << args << ": " << r.err;
    EXPECT_EQ(r.out, "") << args;
  }
  const auto version = Cli("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("quadrix-cli ") + QUADRIX_VERSION + "\n");
  EXPECT_EQ(version.err, "");
}

TEST(CliStreams, QualityOfJpegAndWebp) {
  Inputs in;
  auto write = [&](const std::string& options, const std::string& format) {
    const auto r = Cli(options + " -o - --format " + format + " 1 " + Quote(in.src));
    EXPECT_EQ(r.status, 0) << options << ": " << r.err;
    return r.out;
  };
  // JPEG 95 by default, colour at full resolution from quality 90 up.
  const std::string standard = write("", "jpg");
  const std::string low = write("--quality 60", "jpg");
  EXPECT_EQ(FirstComponentSampling(standard), 0x11);
  EXPECT_EQ(FirstComponentSampling(low), 0x22);
  EXPECT_LT(low.size(), standard.size() / 2);
  // WebP lossless by default, lossy with a quality.
  const std::string lossless = write("", "webp");
  const std::string lossy = write("--quality 70", "webp");
  ASSERT_GT(lossless.size(), 16u);
  ASSERT_GT(lossy.size(), 16u);
  EXPECT_EQ(lossless.substr(12, 4), "VP8L");
  EXPECT_EQ(lossy.substr(12, 4), "VP8 ");
  EXPECT_EQ(Decode(lossy).size(), cv::Size(300, 200));
}

TEST(CliMetadata, TheCamerasWordsAndColourProfileGoWithEveryPictureUnlessStripped) {
  using namespace metadatasupport;
  TempDir dir;
  const std::string src = dir / "camera.jpg";
  MakeCameraPhoto(src, testsupport::Sample({300, 200}));
  for (const std::string ext : {"jpg", "png", "tif", "webp"}) {
    const std::string out = dir / ("out." + ext);
    const auto r = Cli("--size 240x200 -o " + Quote(out) + " 1 " + Quote(src));
    ASSERT_EQ(r.status, 0) << r.err;
    const Found f = FoundIn(out);
    EXPECT_EQ(f.Exif("Exif.Image.Make"), "QuadrixCam") << ext;
    EXPECT_EQ(f.Exif("Exif.Image.Orientation"), "1") << ext;
    EXPECT_EQ(f.Exif("Exif.Photo.PixelXDimension"), "240") << ext;
    EXPECT_EQ(f.icc, IccProfile(true)) << ext;
  }
  // Through a pipe as well.
  const auto piped = Cli("1 - --size 240x200 -o - --format jpg < " + Quote(src));
  ASSERT_EQ(piped.status, 0) << piped.err;
  const Found f = FoundIn(Bytes(piped.out.begin(), piped.out.end()));
  EXPECT_EQ(f.Exif("Exif.Photo.DateTimeOriginal"), "2021:06:01 12:34:56");
  EXPECT_FALSE(f.icc.empty());
  // --strip writes none; neither has a picture of the importance map.
  for (const std::string option : {"--strip", "--show-importance"}) {
    const std::string out = dir / "bare.jpg";
    ASSERT_EQ(Cli(option + " -o " + Quote(out) + " 1 " + Quote(src)).status, 0) << option;
    const Found bare = FoundIn(out);
    EXPECT_TRUE(bare.exif.empty()) << option;
    EXPECT_TRUE(bare.icc.empty()) << option;
  }
}

TEST(CliTransparency, ACutOutKeepsItsShapeAndItsTransparentSurroundings) {
  TempDir dir;
  const std::string src = dir / "cut.png";
  cv::imwrite(src, testsupport::CutOutDisc());

  for (const std::string ext : {"png", "webp", "tif"}) {
    const std::string out = dir / ("wide." + ext);
    const auto r = Cli("--size 700x300 -o " + Quote(out) + " 1 " + Quote(src));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << ext;
    const cv::Mat picture = cv::imread(out, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.type(), CV_8UC4) << ext;
    ASSERT_EQ(picture.size(), cv::Size(700, 300));
    cv::Mat alpha;
    cv::extractChannel(picture, alpha, 3);
    EXPECT_EQ(alpha.at<uchar>(2, 2), 0) << ext << ": the corner stays transparent";
    EXPECT_EQ(alpha.at<uchar>(150, 350), 255) << ext;
    // The disc stays a disc (plain scaling would make it 1.75 times wider
    // than tall); the surroundings take the stretch.
    const cv::Rect disc = cv::boundingRect(alpha > 128);
    EXPECT_NEAR(static_cast<double>(disc.width) / disc.height, 1.0, 0.15) << ext << " " << disc;
  }
  // JPEG holds no transparency: on white, or the background asked for,
  // with a notice.
  const auto jpeg = Cli("--size 700x300 -o " + Quote(dir / "wide.jpg") +
                        " --background '#ff0000' 1 " + Quote(src));
  ASSERT_EQ(jpeg.status, 0) << jpeg.err;
  EXPECT_NE(jpeg.err.find("JPEG holds no transparency"), std::string::npos) << jpeg.err;
  const cv::Mat flat = cv::imread(dir / "wide.jpg", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(flat.type(), CV_8UC3);
  const cv::Vec3b corner = flat.at<cv::Vec3b>(2, 2);
  EXPECT_LT(corner[0], 10);  // blue, green, red
  EXPECT_GT(corner[2], 245);
  EXPECT_EQ(Cli("--background pink -o " + Quote(dir / "x.jpg") + " 1 " + Quote(src)).status, 2);
}

TEST(CliDepth, SixteenBitPhotosGiveSixteenBitPngAndTiffAndSayWhenTheyCannot) {
  TempDir dir;
  cv::Mat photo16;
  testsupport::Sample({400, 300}).convertTo(photo16, CV_16U, 257.0);
  cv::GaussianBlur(photo16, photo16, {0, 0}, 3.0);  // levels between the 8-bit ones
  const std::string src = dir / "deep.png";
  cv::imwrite(src, photo16);
  for (const std::string ext : {"png", "tif"}) {
    const std::string out = dir / ("out." + ext);
    const auto r = Cli("--size 600x300 -o " + Quote(out) + " 1 " + Quote(src));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << ext;
    const cv::Mat picture = cv::imread(out, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.type(), CV_16UC3) << ext;
    size_t between = 0;  // levels that 8 bits cannot hold
    for (int y = 0; y < picture.rows; ++y)
      for (int x = 0; x < picture.cols; ++x) between += picture.at<cv::Vec3w>(y, x)[1] % 257 != 0;
    EXPECT_GT(between, picture.total() / 2) << ext;
  }
  const auto jpeg = Cli("--size 600x300 -o " + Quote(dir / "out.jpg") + " 1 " + Quote(src));
  ASSERT_EQ(jpeg.status, 0) << jpeg.err;
  EXPECT_NE(jpeg.err.find("JPEG holds 8 bits a channel"), std::string::npos) << jpeg.err;
  const cv::Mat eight = cv::imread(dir / "out.jpg", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(eight.type(), CV_8UC3);
  EXPECT_NEAR(cv::mean(eight)[1], cv::mean(photo16)[1] / 257.0, 3.0);

  // A tiled 16-bit TIFF (as ImageMagick writes one) keeps its 16 bits too.
  const std::string tiled = dir / "tiled.tif";
  if (testsupport::Run("convert " + Quote(src) + " -define tiff:tile-geometry=64x64 " +
                       Quote(tiled))
          .status != 0)
    GTEST_SKIP() << "ImageMagick is not installed";
  const auto fromTiles =
      Cli("--size 600x300 -o " + Quote(dir / "tiles.png") + " 1 " + Quote(tiled));
  ASSERT_EQ(fromTiles.status, 0) << fromTiles.err;
  EXPECT_EQ(fromTiles.err.find("with 8 bits"), std::string::npos) << fromTiles.err;
  const cv::Mat tiles = cv::imread(dir / "tiles.png", cv::IMREAD_UNCHANGED);
  EXPECT_EQ(tiles.type(), CV_16UC3);
  EXPECT_NEAR(cv::mean(tiles)[1], cv::mean(photo16)[1], 3.0 * 257);
}
