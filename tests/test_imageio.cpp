// The image file readers and writers, held against OpenCV's own codec layer
// (which the programs no longer load) and against damaged and hostile files.

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "imageio/image_file.hpp"
#include "test_support.hpp"

using namespace quadrix;
using testsupport::Quote;
using testsupport::TempDir;

namespace {

constexpr std::int64_t kNoLimit = std::int64_t{1} << 40;

double MaxDiff(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return 1e9;
  cv::Mat d;
  cv::absdiff(a, b, d);
  double worst = 0;
  cv::minMaxLoc(d.reshape(1), nullptr, &worst);
  return worst;
}

// The sample with some saturated colour and a transparent corner, so that
// every conversion has something to do.
cv::Mat Photo() {
  cv::Mat img = testsupport::Sample({173, 121});
  cv::rectangle(img, {5, 5, 30, 20}, cv::Scalar(255, 0, 40), cv::FILLED);
  return img;
}

bool HaveConvert() { return testsupport::Run("command -v convert").status == 0; }

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const ImageFileError& e) {
    return e.what();
  }
  return "no error";
}

// Copy of `path` with only its first `keep` bytes.
std::string Truncated(const TempDir& dir, const std::string& path, double keep) {
  const std::string bytes = testsupport::ReadFile(path);
  const std::string out = dir / ("cut_" + std::filesystem::path(path).filename().string());
  std::ofstream(out, std::ios::binary) << bytes.substr(0, static_cast<size_t>(bytes.size() * keep));
  return out;
}

// A PNG whose header claims w x h grey pixels, followed by no picture at all.
std::string PngHeaderOnly(const TempDir& dir, std::uint32_t w, std::uint32_t h) {
  std::string b = "\x89PNG\r\n\x1a\n";
  auto be32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  std::string ihdr = "IHDR" + be32(w) + be32(h) + std::string("\x08\x00\x00\x00\x00", 5);
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(ihdr.data()), static_cast<uInt>(ihdr.size())));
  b += be32(13) + ihdr + be32(crc);
  const std::string path = dir / "claims.png";
  std::ofstream(path, std::ios::binary) << b;
  return path;
}

// A copy of a JPEG file with an Exif block that holds only the orientation.
void WithOrientation(const std::string& from, const std::string& to, int orientation) {
  const std::string jpeg = testsupport::ReadFile(from);
  const std::string tiff = std::string("MM\0\x2a\0\0\0\x08", 8) +        // big-endian, IFD at 8
                           std::string("\0\x01", 2) +                    // one entry
                           std::string("\x01\x12\0\x03\0\0\0\x01", 8) +  // Orientation, SHORT, 1
                           std::string{'\0', static_cast<char>(orientation), '\0', '\0'} +
                           std::string("\0\0\0\0", 4);  // no next IFD
  const std::string body = std::string("Exif\0\0", 6) + tiff;
  const size_t length = body.size() + 2;
  const std::string app1 = std::string("\xff\xe1", 2) + static_cast<char>(length >> 8) +
                           static_cast<char>(length & 0xff) + body;
  std::ofstream(to, std::ios::binary) << jpeg.substr(0, 2) + app1 + jpeg.substr(2);
}

// A 32-bit BMP of `bgra` in bit fields (a 56-byte header with an alpha
// mask), as editors write transparent BMPs.
void WriteAlphaBmp(const std::string& path, const cv::Mat& bgra) {
  std::string b;
  auto le32 = [&](std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b += static_cast<char>(v >> (8 * k));
  };
  auto le16 = [&](unsigned v) { b += {static_cast<char>(v), static_cast<char>(v >> 8)}; };
  const auto data = static_cast<std::uint32_t>(4 * bgra.total());
  b += "BM";
  le32(14 + 56 + data);
  le32(0);
  le32(14 + 56);
  le32(56);
  le32(static_cast<std::uint32_t>(bgra.cols));
  le32(static_cast<std::uint32_t>(-bgra.rows));  // top-down
  le16(1);
  le16(32);
  le32(3);  // bit fields
  le32(data);
  for (int k = 0; k < 4; ++k) le32(0);
  for (const std::uint32_t mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u}) le32(mask);
  for (int y = 0; y < bgra.rows; ++y)
    b.append(reinterpret_cast<const char*>(bgra.ptr(y)), 4 * static_cast<size_t>(bgra.cols));
  std::ofstream(path, std::ios::binary) << b;
}

}  // namespace

TEST(ImageFiles, ReadAsOpenCvReadsThem) {
  TempDir dir;
  const cv::Mat photo = Photo();
  cv::Mat grey, rgba, wide;
  cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(photo, rgba, cv::COLOR_BGR2BGRA);
  rgba(cv::Rect(0, 0, 40, 40)).setTo(cv::Scalar(10, 200, 30, 0));
  photo.convertTo(wide, CV_16UC3, 257.0, 3.0);
  cv::Mat greyWide;
  grey.convertTo(greyWide, CV_16UC1, 257.0);

  struct Case {
    std::string name;
    cv::Mat image;
    std::vector<int> params;
    double tolerance;  // colour; grey gets one level more
  };
  const std::vector<Case> written = {
      {"rgb.png", photo, {}, 0},
      {"grey.png", grey, {}, 0},
      {"rgba.png", rgba, {}, 0},
      {"rgb16.png", wide, {}, 0},
      {"grey16.png", greyWide, {}, 0},
      {"colour.jpg", photo, {cv::IMWRITE_JPEG_QUALITY, 90}, 0},
      {"grey.jpg", grey, {}, 0},
      {"progressive.jpg", photo, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}, 0},
      {"rgb.bmp", photo, {}, 0},
      {"grey.bmp", grey, {}, 0},
      {"rgba.bmp", rgba, {}, 0},
      {"rgb.tif", photo, {}, 0},
      {"grey.tif", grey, {}, 0},
      {"rgb16.tif", wide, {}, 1},
      {"lossless.webp", photo, {}, 0},
      {"lossy.webp", photo, {cv::IMWRITE_WEBP_QUALITY, 80}, 0},
      {"rgba.webp", rgba, {}, 0},
  };
  struct File {
    std::string path;
    std::string reference;  // what OpenCV reads for comparison (itself if empty)
    double tolerance;
  };
  std::vector<File> files;
  for (const Case& c : written) {
    ASSERT_TRUE(cv::imwrite(dir / c.name, c.image, c.params)) << c.name;
    files.push_back({dir / c.name, "", c.tolerance});
  }
  // Kinds OpenCV does not write; ImageMagick does.
  if (HaveConvert()) {
    const std::string src = Quote(dir / "rgb.png");
    struct Made {
      std::string name, options, prefix;
      std::string reference;  // held against this file, or against itself
      double tolerance;
    };
    const std::vector<Made> made = {
        {"cmyk.jpg", "-colorspace CMYK", "", "", 0},
        {"palette.png", "-colors 60 -type Palette", "PNG8:", "", 0},
        {"interlaced.png", "-interlace PNG", "", "", 0},
        {"bilevel.png", "-threshold 50% -type Bilevel", "", "", 0},
        {"palette8.bmp", "-colors 100 -type Palette -compress None", "BMP3:", "", 0},
        // OpenCV reads neither ImageMagick's run-length coding nor its
        // channel masks: held against the same palette uncoded, and against
        // the photo within the 5 bits a channel.
        {"rle8.bmp", "-colors 100 -type Palette -compress RLE", "BMP3:", "palette8.bmp", 0},
        {"rgb565.bmp", "-define bmp:subtype=RGB565", "", "rgb.png", 8},
        {"cmyk.tif", "-colorspace CMYK", "", "", 0},
        {"palette.tif", "-colors 60 -type Palette", "", "", 0},
    };
    for (const Made& m : made) {
      const auto r = testsupport::Run("convert " + src + " " + m.options + " " +
                                      Quote(m.prefix + (dir / m.name)));
      ASSERT_EQ(r.status, 0) << m.name << ": " << r.err;
      files.push_back({dir / m.name, m.reference.empty() ? "" : dir / m.reference, m.tolerance});
    }
  }

  // Exif orientations: OpenCV turns the picture as the camera says.
  for (int orientation : {3, 6, 8}) {
    const std::string path = dir / ("oriented" + std::to_string(orientation) + ".jpg");
    WithOrientation(dir / "colour.jpg", path, orientation);
    files.push_back({path, "", 0.0});
  }

  for (const auto& [path, reference, tolerance] : files) {
    SCOPED_TRACE(path);
    const std::string ref = reference.empty() ? path : reference;
    ImageInfo info;
    const cv::Mat colour = ReadImageFile(path, ImageMode::kColour, kNoLimit, &info);
    const cv::Mat expected = cv::imread(ref, cv::IMREAD_COLOR);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(colour.type(), CV_8UC3);
    EXPECT_LE(MaxDiff(colour, expected), tolerance);
    EXPECT_EQ(info.width, expected.cols);
    EXPECT_EQ(info.height, expected.rows);
    const ImageInfo header = ReadImageInfo(path);
    EXPECT_EQ(header.width, info.width);
    EXPECT_EQ(header.height, info.height);
    EXPECT_EQ(header.format, FormatForName(path));

    const cv::Mat grey8 = ReadImageFile(path, ImageMode::kGrey, kNoLimit);
    EXPECT_EQ(grey8.type(), CV_8UC1);
    EXPECT_LE(MaxDiff(grey8, cv::imread(ref, cv::IMREAD_GRAYSCALE)), tolerance + 1);
  }
  EXPECT_FALSE(ReadImageInfo(dir / "grey.png").colour);
  EXPECT_TRUE(ReadImageInfo(dir / "rgb.png").colour);
  // Orientation 6: turned a quarter clockwise.
  EXPECT_EQ(ReadImageInfo(dir / "oriented6.jpg").width, photo.rows);
}

TEST(ImageFiles, WrittenInTheFormatOfTheName) {
  TempDir dir;
  const cv::Mat photo = Photo();
  cv::Mat grey;
  cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
  for (const std::string ext :
       {".png", ".PNG", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp"}) {
    for (const cv::Mat& image : {photo, grey}) {
      const std::string path = dir / ("out" + std::to_string(image.channels()) + ext);
      SCOPED_TRACE(path);
      WriteImageFile(path, image);
      const cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
      const bool lossy = ext.find("jp") != std::string::npos;
      // WebP has no grey kind: grey comes back as three equal channels.
      if (ext == ".webp" && image.channels() == 1) {
        cv::Mat g;
        cv::cvtColor(back, g, cv::COLOR_BGR2GRAY);
        EXPECT_EQ(MaxDiff(g, image), 0);
        continue;
      }
      ASSERT_EQ(back.type(), image.type());
      if (lossy)
        EXPECT_LT(cv::norm(back, image, cv::NORM_L1) / image.total() / image.channels(), 4.0);
      else
        EXPECT_EQ(MaxDiff(back, image), 0);
    }
  }
  EXPECT_EQ(FormatForName("a/b.c/name"), ImageFormat::kUnknown);
  EXPECT_EQ(FormatForName("x.gif"), ImageFormat::kUnknown);
  EXPECT_NE(Message([&] { WriteImageFile(dir / "x.gif", photo); }).find("no image format"),
            std::string::npos);
  EXPECT_NE(Message([&] { WriteImageFile(dir / "no/such/dir/x.png", photo); }).find("No such file"),
            std::string::npos);
}

TEST(ImageFiles, TransparencyRoundTripsWhereTheFormatHoldsIt) {
  // Opaque, half and fully transparent thirds.
  TempDir dir;
  const cv::Mat bgr = testsupport::Sample({90, 60});
  cv::Mat alpha(60, 90, CV_8UC1, cv::Scalar(255));
  alpha.colRange(30, 60).setTo(128);
  alpha.colRange(60, 90).setTo(0);
  cv::Mat bgra;
  cv::merge(std::vector<cv::Mat>{bgr, alpha}, bgra);
  for (const std::string ext : {"png", "webp", "tif"}) {
    const std::string path = dir / ("a." + ext);
    WriteImageFile(path, bgra);
    ImageInfo info;
    const cv::Mat back = ReadImageFile(path, ImageMode::kColourAlpha, kNoLimit, &info);
    EXPECT_TRUE(info.alpha) << ext;
    ASSERT_EQ(back.type(), CV_8UC4) << ext;
    cv::Mat backAlpha;
    cv::extractChannel(back, backAlpha, 3);
    EXPECT_EQ(cv::norm(backAlpha, alpha, cv::NORM_INF), 0.0) << ext;
    // Colour where it is seen (a TIFF comes back through premultiplied
    // values: within a level or two where half transparent).
    cv::Mat seen;
    cv::cvtColor(back.colRange(0, 60), seen, cv::COLOR_BGRA2BGR);
    EXPECT_LE(cv::norm(seen, bgr.colRange(0, 60), cv::NORM_INF), 2.0) << ext;
    EXPECT_EQ(ReadImageFile(path, ImageMode::kColour, kNoLimit).type(), CV_8UC3) << ext;
  }
  // An opaque file reads as colour in either mode.
  WriteImageFile(dir / "o.png", bgr);
  EXPECT_EQ(ReadImageFile(dir / "o.png", ImageMode::kColourAlpha, kNoLimit).type(), CV_8UC3);
  for (const std::string ext : {"jpg", "bmp"})
    EXPECT_THROW(WriteImageFile(dir / ("a." + ext), bgra), ImageFileError) << ext;
}

// A BMP's alpha mask gives a transparent photo; one whose every alpha is 0
// is meant opaque (browsers show it so).
TEST(ImageFiles, BmpAlphaMasksAreRead) {
  TempDir dir;
  cv::Mat bgra;
  cv::cvtColor(Photo(), bgra, cv::COLOR_BGR2BGRA);
  for (int y = 0; y < bgra.rows; ++y)
    for (int x = 0; x < bgra.cols; ++x) bgra.at<cv::Vec4b>(y, x)[3] = static_cast<uchar>(x + y);
  WriteAlphaBmp(dir / "alpha.bmp", bgra);
  ImageInfo info;
  EXPECT_EQ(
      MaxDiff(ReadImageFile(dir / "alpha.bmp", ImageMode::kColourAlpha, kNoLimit, &info), bgra),
      0.0);
  EXPECT_TRUE(info.alpha);
  cv::Mat bgr;
  cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
  EXPECT_EQ(MaxDiff(ReadImageFile(dir / "alpha.bmp", ImageMode::kColour, kNoLimit), bgr), 0.0);

  bgra.forEach<cv::Vec4b>([](cv::Vec4b& p, const int*) { p[3] = 0; });
  WriteAlphaBmp(dir / "zero.bmp", bgra);
  const cv::Mat opaque = ReadImageFile(dir / "zero.bmp", ImageMode::kColourAlpha, kNoLimit);
  ASSERT_EQ(opaque.type(), CV_8UC4);
  cv::Mat alpha;
  cv::extractChannel(opaque, alpha, 3);
  EXPECT_EQ(cv::countNonZero(alpha != 255), 0);
}

TEST(ImageFiles, SixteenBitsRoundTripInPngAndTiff) {
  TempDir dir;
  // Every level of a 16-bit ramp, with and without alpha.
  cv::Mat ramp(64, 1024, CV_16UC3);
  for (int y = 0; y < ramp.rows; ++y)
    for (int x = 0; x < ramp.cols; ++x)
      ramp.at<cv::Vec3w>(y, x) =
          cv::Vec3w(static_cast<ushort>(64 * x + y), 1000, static_cast<ushort>(65535 - 64 * x));
  cv::Mat alpha(64, 1024, CV_16UC1, cv::Scalar(65535));
  alpha.colRange(512, 1024).setTo(30000);
  cv::Mat rampAlpha;
  cv::merge(std::vector<cv::Mat>{ramp, alpha}, rampAlpha);
  for (const std::string ext : {"png", "tif"})
    for (const cv::Mat& picture : {ramp, rampAlpha}) {
      const std::string path = dir / ("deep." + ext);
      WriteImageFile(path, picture);
      ImageInfo info;
      const cv::Mat back = ReadImageFile(path, ImageMode::kDeep, kNoLimit, &info);
      EXPECT_EQ(info.depth, 16) << ext;
      ASSERT_EQ(back.type(), picture.type()) << ext;
      EXPECT_EQ(cv::norm(back, picture, cv::NORM_INF), 0.0) << ext;
      // The other modes read the high bytes.
      const cv::Mat shallow = ReadImageFile(path, ImageMode::kColour, kNoLimit);
      ASSERT_EQ(shallow.type(), CV_8UC3) << ext;
      EXPECT_EQ(shallow.at<cv::Vec3b>(0, 1023)[0], (64 * 1023) >> 8) << ext;
    }
  for (const std::string ext : {"jpg", "webp", "bmp"})
    EXPECT_THROW(WriteImageFile(dir / ("deep." + ext), ramp), ImageFileError) << ext;

  // OpenCV writes a fourth sample without marking it as alpha; it is taken
  // as alpha (ImageMagick does the same), at either depth.
  cv::imwrite(dir / "unmarked16.tif", rampAlpha);
  ImageInfo info;
  cv::Mat back = ReadImageFile(dir / "unmarked16.tif", ImageMode::kDeep, kNoLimit, &info);
  EXPECT_TRUE(info.alpha);
  ASSERT_EQ(back.type(), CV_16UC4);
  EXPECT_EQ(cv::norm(back, rampAlpha, cv::NORM_INF), 0.0);
  cv::Mat shallow;
  rampAlpha.convertTo(shallow, CV_8U, 1.0 / 257);
  cv::imwrite(dir / "unmarked8.tif", shallow);
  back = ReadImageFile(dir / "unmarked8.tif", ImageMode::kColourAlpha, kNoLimit);
  ASSERT_EQ(back.type(), CV_8UC4);
  cv::Mat backAlpha, wrote;
  cv::extractChannel(back, backAlpha, 3);
  cv::extractChannel(shallow, wrote, 3);
  EXPECT_EQ(cv::norm(backAlpha, wrote, cv::NORM_INF), 0.0);
}

TEST(ImageFiles, DamagedAndHostileFilesAreRefusedWithTheCause) {
  TempDir dir;
  const cv::Mat photo = testsupport::Sample({400, 300});
  for (const char* name : {"p.png", "p.jpg", "p.bmp", "p.tif", "p.webp"})
    ASSERT_TRUE(cv::imwrite(dir / name, photo));
  std::ofstream(dir / "empty.png").flush();
  std::ofstream(dir / "text.jpg") << "Dear user, this is not a photo.\n";

  auto read = [](const std::string& path) {
    return Message([&] { ReadImageFile(path, ImageMode::kColour, kNoLimit); });
  };
  EXPECT_EQ(read(dir / "missing.png"), "no such file");
  EXPECT_EQ(read(dir.path().string()), "is a directory");
  EXPECT_EQ(read(dir / "empty.png"), "the file is empty");
  EXPECT_NE(read(dir / "text.jpg").find("not an image in a format that can be read"),
            std::string::npos);
  EXPECT_EQ(read("/dev/null"), "not a regular file");
  // Cut short anywhere: after the header, or in the middle of the picture.
  for (const char* name : {"p.png", "p.jpg", "p.bmp", "p.webp"})
    for (double keep : {0.5, 0.97}) {
      const std::string cut = Truncated(dir, dir / name, keep);
      EXPECT_EQ(read(cut), "the file is cut short") << name << " at " << keep;
    }
  EXPECT_NE(read(Truncated(dir, dir / "p.tif", 0.5)), "no error");
  // A few bytes of header are enough to learn the size of the whole file.
  const std::string png = Truncated(dir, dir / "p.png", 0.01);
  EXPECT_EQ(ReadImageInfo(png).width, 400);

  // A header that claims far more than the file holds: refused from the
  // header alone, at once.
  const std::string claims = PngHeaderOnly(dir, 100000, 100000);
  const auto start = std::chrono::steady_clock::now();
  try {
    ReadImageFile(claims, ImageMode::kColour, 120000000);
    FAIL() << "not refused";
  } catch (const ImageTooLarge& e) {
    EXPECT_EQ(e.info().width, 100000);
    EXPECT_EQ(e.limit(), 120000000);
    EXPECT_STREQ(e.what(),
                 "100000 x 100000 pixels (10000 megapixels) is above the limit of 120 megapixels");
  }
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.5);
  // Under the limit it is simply cut short.
  EXPECT_EQ(read(PngHeaderOnly(dir, 3000, 2000)), "the file is cut short");
}

TEST(ImageFiles, PixelLimitIsInclusive) {
  TempDir dir;
  for (const char* name : {"p.png", "p.jpg", "p.bmp", "p.tif", "p.webp"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(cv::imwrite(dir / name, testsupport::Sample({300, 200})));
    EXPECT_EQ(ReadImageFile(dir / name, ImageMode::kGrey, 60000).size(), cv::Size(300, 200));
    EXPECT_THROW(ReadImageFile(dir / name, ImageMode::kGrey, 59999), ImageTooLarge);
  }
  EXPECT_EQ(PixelCountText(120000000), "120 megapixels");
  EXPECT_EQ(PixelCountText(1500000), "1.5 megapixels");
  EXPECT_EQ(PixelCountText(60000), "60000 pixels");
}

// The working copy of a JPEG comes from the DCT's own scaling: the smallest
// scale that keeps the longer side at or above the request, the same picture
// as a full decode reduced by area, the orientation applied and the pixel
// limit held against the file's full size.
TEST(ImageFiles, ReducedJpegDecodeKeepsTheLongerSideAndThePicture) {
  TempDir dir;
  const cv::Mat full = testsupport::Sample({1600, 1000});
  const std::string jpg = dir / "big.jpg";
  ASSERT_TRUE(cv::imwrite(jpg, full, {cv::IMWRITE_JPEG_QUALITY, 95}));
  const cv::Mat decoded = ReadImageFile(jpg, ImageMode::kColour, kNoLimit);

  struct Case {
    int request;
    cv::Size expected;
  };
  for (const Case c : {Case{0, {1600, 1000}}, Case{1600, {1600, 1000}}, Case{801, {1600, 1000}},
                       Case{800, {800, 500}}, Case{401, {800, 500}}, Case{400, {400, 250}},
                       Case{200, {200, 125}}, Case{50, {200, 125}}}) {
    ImageInfo info;
    const cv::Mat reduced = ReadImageReduced(jpg, ImageMode::kColour, kNoLimit, c.request, &info);
    EXPECT_EQ(reduced.size(), c.expected) << c.request;
    EXPECT_EQ(info.width, 1600);
    EXPECT_EQ(info.height, 1000);
    if (reduced.size() == decoded.size()) {
      EXPECT_EQ(MaxDiff(reduced, decoded), 0.0);
      continue;
    }
    cv::Mat area;
    cv::resize(decoded, area, reduced.size(), 0, 0, cv::INTER_AREA);
    EXPECT_LT(cv::norm(reduced, area, cv::NORM_L1) / static_cast<double>(area.total() * 3), 3.0)
        << c.request;
  }
  const cv::Mat grey = ReadImageReduced(jpg, ImageMode::kGrey, kNoLimit, 400);
  EXPECT_EQ(grey.type(), CV_8UC1);
  EXPECT_EQ(grey.size(), cv::Size(400, 250));

  EXPECT_THROW(ReadImageReduced(jpg, ImageMode::kColour, 1600 * 1000 - 1, 200), ImageTooLarge);
  const std::string turned = dir / "turned.jpg";
  WithOrientation(jpg, turned, 6);
  ImageInfo info;
  const cv::Mat upright = ReadImageReduced(turned, ImageMode::kColour, kNoLimit, 400, &info);
  EXPECT_EQ(upright.size(), cv::Size(250, 400));
  EXPECT_EQ(cv::Size(info.width, info.height), cv::Size(1000, 1600));
  cv::Mat expected;
  cv::rotate(ReadImageReduced(jpg, ImageMode::kColour, kNoLimit, 400), expected,
             cv::ROTATE_90_CLOCKWISE);
  EXPECT_EQ(MaxDiff(upright, expected), 0.0);
  // Other formats come whole.
  const std::string png = dir / "big.png";
  ASSERT_TRUE(cv::imwrite(png, full));
  EXPECT_EQ(MaxDiff(ReadImageReduced(png, ImageMode::kColour, kNoLimit, 200), full), 0.0);
}
