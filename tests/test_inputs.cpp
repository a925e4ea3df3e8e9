// Loading a photo into the host: alignment, importance files and computed
// maps, the checks both programs make on their inputs, and the brush that
// paints the map.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "base/check.hpp"
#include "core/importance_paint.hpp"
#include "core/inputs.hpp"
#include "core/resize_host.hpp"
#include "core/settings.hpp"
#include "loaded_host.hpp"
#include "test_support.hpp"

using namespace quadrix;
using testsupport::Loaded;
using testsupport::TempDir;

TEST(LoadImage, AlignsToWholeQuadsAndScalesImportance) {
  {
    cv::Mat sal(489, 650, CV_8UC1, cv::Scalar(250));
    sal(cv::Rect(0, 0, 300, 200)).setTo(255);
    Loaded l(testsupport::Sample({650, 489}), sal);
    ASSERT_TRUE(l.Load());
    EXPECT_EQ(l.host.srcWidth(), 660);
    EXPECT_EQ(l.host.srcHeight(), 480);
    EXPECT_EQ(l.host.imgSrc().size(), cv::Size(660, 480));
    EXPECT_EQ(l.host.imgSal().type(), CV_32FC1);
    EXPECT_EQ(l.host.imgGray32F().size(), cv::Size(660, 480));
    EXPECT_EQ(l.host.settings().quadSize, 20);
  }
  {
    cv::Mat sal(300, 400, CV_8UC1, cv::Scalar(250));
    sal(cv::Rect(0, 0, 100, 100)).setTo(255);
    Loaded l(testsupport::Sample({400, 300}), sal);
    ASSERT_TRUE(l.Load());
    EXPECT_FLOAT_EQ(l.host.imgSal().at<float>(200, 300), 1.0f);
    EXPECT_FLOAT_EQ(l.host.imgSal().at<float>(10, 10), 1.02f);
    cv::Mat gray;
    cv::cvtColor(l.host.imgSrc(), gray, cv::COLOR_BGR2GRAY);
    EXPECT_FLOAT_EQ(l.host.imgGray32F().at<float>(123, 45), 0.004f * gray.at<uchar>(123, 45));
  }
  {
    // An importance file a few pixels off is stretched to the aligned size.
    Loaded l(testsupport::Sample({400, 300}), cv::Mat(305, 405, CV_8UC1, cv::Scalar(100)));
    ASSERT_TRUE(l.Load());
    EXPECT_EQ(l.host.imgSal().size(), cv::Size(400, 300));
  }
}

TEST(LoadImage, RefusesWhatCannotBeMeshed) {
  Loaded missing(testsupport::Sample({400, 300}), cv::Mat(300, 400, CV_8UC1, cv::Scalar(1)));
  EXPECT_FALSE(missing.Load(missing.dir / "nope.png"));
  EXPECT_TRUE(missing.host.imgSal().empty());

  // A side that rounds to zero quads.
  Loaded thin(cv::Mat(100, 9, CV_8UC3, cv::Scalar(10, 20, 30)),
              cv::Mat(100, 9, CV_8UC1, cv::Scalar(100)));
  EXPECT_FALSE(thin.Load());
}

// Every check both programs rely on, each naming the file in its message.
TEST(Inputs, ReadAndCheckedInOnePlace) {
  TempDir dir;
  auto write = [&](const std::string& name, const cv::Mat& img) {
    EXPECT_TRUE(cv::imwrite(dir / name, img));
    return dir / name;
  };
  auto kindOf = [](const std::function<void()>& f, std::string& message) {
    try {
      f();
    } catch (const InputError& e) {
      message = e.what();
      return e.cause();
    }
    message = "no error";
    return static_cast<InputError::Cause>(-1);
  };
  using Kind = InputError::Cause;
  std::string msg;

  const std::string src = write("src.png", testsupport::Sample({410, 300}));
  const InputImages ok = ReadInputs(src, "", 20, kDefaultMaxPixels);
  EXPECT_EQ(ok.source.type(), CV_8UC3);
  EXPECT_TRUE(ok.importance.empty());

  // Unreadable files: the cause from the reader, the file by name.
  EXPECT_EQ(kindOf([&] { ReadInputs(dir / "gone.png", "", 20, kDefaultMaxPixels); }, msg),
            Kind::kUnreadable);
  EXPECT_EQ(msg, "cannot read the source image '" + dir / "gone.png" + "': no such file");
  EXPECT_EQ(kindOf([&] { ReadInputs(src, dir / "gone.png", 20, kDefaultMaxPixels); }, msg),
            Kind::kUnreadable);
  EXPECT_NE(msg.find("importance image '" + dir / "gone.png"), std::string::npos) << msg;

  // The pixel limit, for either file.
  EXPECT_EQ(kindOf([&] { ReadInputs(src, "", 20, 410 * 300 - 1); }, msg), Kind::kTooLarge);
  EXPECT_EQ(msg, "the source image '" + src +
                     "' is too large: 410 x 300 pixels (123000 pixels) is above the limit of "
                     "122999 pixels");
  const std::string bigSal = write("bigsal.png", cv::Mat(300, 410, CV_8UC1, cv::Scalar(9)));
  EXPECT_EQ(kindOf([&] { ReadInputs(dir / "gone.png", bigSal, 20, 1000); }, msg), Kind::kUnreadable)
      << "the source is read first";
  EXPECT_NO_THROW(ReadInputs(src, bigSal, 20, 410 * 300));

  // Sides that round to no quad; the computed map's 128-pixel rule.
  EXPECT_EQ(kindOf(
                [&] {
                  ReadInputs(write("thin.png", cv::Mat(300, 9, CV_8UC3, cv::Scalar(1, 2, 3))),
                             bigSal, 20, kDefaultMaxPixels);
                },
                msg),
            Kind::kTooSmall);
  EXPECT_NE(msg.find("thin.png' of 9 x 300 pixels is too small"), std::string::npos) << msg;
  // Too small for a computed map is no error here: the host makes it flat.
  EXPECT_NO_THROW(
      ReadInputs(write("small.png", testsupport::Sample({100, 80})), "", 20, kDefaultMaxPixels));

  // The importance image must round to the source's whole quads: 405 x 305
  // fits 400 x 300 but not 410 x 300 (which rounds to 420 x 300).
  EXPECT_NO_THROW(CheckImportanceFits("s", {400, 300}, "i", {405, 305}, 20));
  EXPECT_EQ(kindOf(
                [&] {
                  CheckImportanceFits("s.png", {410, 300}, "i.png", {405, 305}, 20);
                },
                msg),
            Kind::kImportanceMismatch);
  EXPECT_EQ(msg,
            "the importance image 'i.png' of 405 x 305 pixels does not fit the source image "
            "'s.png' of 410 x 300 pixels (in whole quads they are 400x300 and 420x300)");

  // Loaded into a host, the checked images give what LoadImage gives.
  ResizeHost host;
  host.Load(ReadInputs(src, bigSal, 20, kDefaultMaxPixels));
  ResizeHost same;
  ASSERT_TRUE(same.LoadImage(cv::imread(src), bigSal.c_str()));
  EXPECT_EQ(cv::norm(host.imgSal(), same.imgSal(), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(host.imgSrc(), same.imgSrc(), cv::NORM_INF), 0.0);
}

TEST(Inputs, WorkingSideFromTheEnvironment) {
  EXPECT_EQ(ParseWorkSide("none"), 0);
  EXPECT_EQ(ParseWorkSide("100"), 100);
  EXPECT_EQ(ParseWorkSide("100000"), 100000);
  for (const char* bad : {"", "0", "99", "100001", "1600px", "None", " 800"})
    EXPECT_FALSE(ParseWorkSide(bad).has_value()) << bad;
  ::unsetenv("QUADRIX_WORK_SIZE");
  EXPECT_EQ(SettingsFromEnvironment().workSide, kDefaultWorkSide);
  ::setenv("QUADRIX_WORK_SIZE", "none", 1);
  EXPECT_EQ(SettingsFromEnvironment().workSide, 0);
  ::setenv("QUADRIX_WORK_SIZE", "1200", 1);
  EXPECT_EQ(SettingsFromEnvironment().workSide, 1200);
  ::setenv("QUADRIX_WORK_SIZE", "big", 1);
  try {
    SettingsFromEnvironment();
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("QUADRIX_WORK_SIZE 'big'"), std::string::npos) << e.what();
  }
  ::unsetenv("QUADRIX_WORK_SIZE");
}

TEST(Inputs, PixelLimitFromTheEnvironment) {
  EXPECT_EQ(ParseMaxPixels("120000000"), 120000000);
  EXPECT_EQ(ParseMaxPixels("1"), 1);
  for (const char* bad : {"", "0", "-5", "12M", "1e9", " 5", "9999999999999999"})
    EXPECT_FALSE(ParseMaxPixels(bad).has_value()) << bad;
  ::unsetenv("QUADRIX_MAX_PIXELS");
  EXPECT_EQ(MaxPixelsFromEnvironment(), kDefaultMaxPixels);
  ::setenv("QUADRIX_MAX_PIXELS", "5000", 1);
  EXPECT_EQ(MaxPixelsFromEnvironment(), 5000);
  ::setenv("QUADRIX_MIN_SCALE", "0.2", 1);
  const ResizeSettings settings = SettingsFromEnvironment();
  EXPECT_EQ(settings.maxPixels, 5000);
  EXPECT_EQ(settings.minScale, 0.2);
  ::unsetenv("QUADRIX_MIN_SCALE");
  ::setenv("QUADRIX_MAX_PIXELS", "lots", 1);
  EXPECT_THROW(MaxPixelsFromEnvironment(), std::invalid_argument);
  EXPECT_THROW(SettingsFromEnvironment(), std::invalid_argument);
  ::unsetenv("QUADRIX_MAX_PIXELS");
}

TEST(LoadImage, ImportanceOfAnotherAlignedSizeIsAnInternalError) {
  Loaded l(testsupport::Sample({410, 300}), cv::Mat(305, 405, CV_8UC1, cv::Scalar(100)));
  EXPECT_TRUE(testsupport::Contains(
      testsupport::AssertionReport([&] { l.Load(); }),
      "Assertion: imgSal_.cols == srcWidth_ && imgSal_.rows == srcHeight_ failed.*"
      "ResizeHost::LoadWorkingCopy"));
}

namespace {

bool AllFinite(const cv::Mat& m) { return cv::checkRange(m, true, nullptr, -1e30, 1e30); }

bool AllFinite(const std::vector<float>& v) {
  return std::all_of(v.begin(), v.end(), [](float f) { return std::isfinite(f); });
}

}  // namespace

TEST(ComputedImportance, PhotoKeepsItsSizeAndRange) {
  ResizeHost host;
  ASSERT_TRUE(host.LoadImage(testsupport::Sample({640, 480}), nullptr));
  EXPECT_EQ(host.imgSal().size(), cv::Size(640, 480));
  EXPECT_EQ(host.imgSal().type(), CV_32FC1);
  EXPECT_EQ(host.imgGray32F().size(), cv::Size(640, 480));
  double lo = 0, hi = 0;
  cv::minMaxLoc(host.imgSal(), &lo, &hi);
  EXPECT_NEAR(lo, 0.2, 0.05);
  EXPECT_NEAR(hi, 1.0, 0.05);
}

TEST(ComputedImportance, TransparentPartsCountLeastAndTheColourIsSeenOnWhite) {
  // A photo cut out of a transparent background (a disc), written as PNG
  // with alpha and as a PNG whose alpha is opaque everywhere.
  TempDir dir;
  const cv::Mat photo = testsupport::Sample({400, 300});
  cv::Mat bgra = testsupport::CutOutDisc();
  cv::imwrite(dir / "cut.png", bgra);
  cv::Mat opaque(bgra.size(), CV_8UC1, cv::Scalar(255));
  cv::insertChannel(opaque, bgra, 3);
  cv::imwrite(dir / "opaque.png", bgra);

  const InputImages cut = ReadInputs(dir / "cut.png", "", 20, kDefaultMaxPixels);
  ASSERT_EQ(cut.alpha.size(), cut.source.size());
  EXPECT_EQ(cut.source.type(), CV_8UC3);
  EXPECT_EQ(cut.source.at<cv::Vec3b>(5, 5), cv::Vec3b(255, 255, 255)) << "seen on white";
  EXPECT_EQ(cut.source.at<cv::Vec3b>(150, 200), photo.at<cv::Vec3b>(150, 200));
  EXPECT_TRUE(ReadInputs(dir / "opaque.png", "", 20, kDefaultMaxPixels).alpha.empty())
      << "an alpha channel that hides nothing is no transparency";
  EXPECT_EQ(ReadPhoto(InputImages(cut), kDefaultMaxPixels).type(), CV_8UC4);

  ResizeHost host;
  host.Load(cut);
  const cv::Mat& sal = host.imgSal();
  double corner = 0.0, middle = 0.0;
  cv::minMaxLoc(sal(cv::Rect(0, 0, 40, 40)), nullptr, &corner);
  cv::minMaxLoc(sal(cv::Rect(180, 130, 40, 40)), nullptr, &middle);
  EXPECT_NEAR(corner, kLeastImportance, 1e-6);
  EXPECT_GT(middle, 0.1);
}

TEST(ComputedImportance, DegenerateImagesSolveWithoutNaN) {
  cv::Mat twoColours(200, 300, CV_8UC3, cv::Scalar(200, 40, 40));
  twoColours(cv::Rect(150, 0, 150, 200)).setTo(cv::Scalar(10, 220, 90));
  cv::Mat noise(128, 128, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
  cv::Mat strip = testsupport::Sample({4000, 128});
  const std::vector<std::pair<const char*, cv::Mat>> images = {
      {"one colour", cv::Mat(200, 300, CV_8UC3, cv::Scalar(30, 140, 250))},
      {"two colours", twoColours},
      {"128 x 128", noise},
      {"128 x 4000 strip", strip},
      {"4000 x 128 strip", strip.t()},
  };
  for (const auto& [name, img] : images) {
    SCOPED_TRACE(name);
    ResizeHost host;
    ASSERT_TRUE(host.LoadImage(img.clone(), nullptr));
    EXPECT_TRUE(AllFinite(host.imgSal()));
    double lo = 0, hi = 0;
    cv::minMaxLoc(host.imgSal(), &lo, &hi);
    EXPECT_GE(lo, 0.15);
    EXPECT_LE(hi, 1.05);
    testing::internal::CaptureStdout();
    host.BuildEquationA();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(host.contentAware());
    for (cv::Size s : {cv::Size(host.srcWidth() / 2, host.srcHeight()), cv::Size(300, 300)}) {
      host.Resize(s.width, s.height);
      ASSERT_EQ(host.solution().size(), static_cast<size_t>(host.coordCount()));
      EXPECT_TRUE(AllFinite(host.solution()));
    }
  }
  // One colour everywhere: no variation, so the floor everywhere.
  ResizeHost flat;
  ASSERT_TRUE(flat.LoadImage(cv::Mat(200, 300, CV_8UC3, cv::Scalar(30, 140, 250)), nullptr));
  double lo = 0, hi = 0;
  cv::minMaxLoc(flat.imgSal(), &lo, &hi);
  EXPECT_NEAR(lo, 0.2, 1e-5);
  EXPECT_NEAR(hi, 0.2, 1e-5);
}

TEST(ComputedImportance, BelowTheSmallestSideTheMapIsFlatWithANotice) {
  for (const cv::Size size : {cv::Size(100, 80), cv::Size(400, 127)}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    ResizeHost host;
    ASSERT_TRUE(host.LoadImage(testsupport::Sample(size), nullptr));
    double lo = 0, hi = 0;
    cv::minMaxLoc(host.imgSal(), &lo, &hi);
    EXPECT_EQ(lo, 1.0);
    EXPECT_EQ(hi, 1.0);
    EXPECT_EQ(host.imgSal().size(), host.imgSrc().size());
    EXPECT_NE(host.notice().find("128"), std::string::npos) << host.notice();
    testing::internal::CaptureStdout();
    host.BuildEquationA();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(host.contentAware());
    host.Resize(host.srcWidth() * 2, host.srcHeight());
    EXPECT_TRUE(AllFinite(host.solution()));
  }
  // From 128 on the map is computed, and a file is taken as it is.
  ResizeHost computed;
  ASSERT_TRUE(computed.LoadImage(testsupport::Sample({400, 128}), nullptr));
  EXPECT_TRUE(computed.notice().empty());
  double lo = 0, hi = 0;
  cv::minMaxLoc(computed.imgSal(), &lo, &hi);
  EXPECT_LT(lo, 0.5);
}

TEST(ImportancePainter, BrushesUndoAndRedoStrokeByStroke) {
  cv::Mat base(60, 80, CV_32FC1);
  cv::randu(base, 0.2, 1.0);
  ImportancePainter painter(base.clone());
  EXPECT_FALSE(painter.CanUndo());

  painter.BeginStroke(Brush::kProtect);
  const cv::Rect dab = painter.Dab({20, 30}, 5);
  painter.Dab({25, 30}, 5);
  EXPECT_TRUE(painter.EndStroke());
  EXPECT_EQ(dab, cv::Rect(15, 25, 11, 11));
  EXPECT_EQ(painter.Map().at<float>(30, 22), 1.0f);
  EXPECT_EQ(painter.Map().at<float>(30, 40), base.at<float>(30, 40)) << "outside the stroke";
  EXPECT_EQ(painter.Map().at<float>(24, 14), base.at<float>(24, 14)) << "a disc, not a square";
  const cv::Mat afterProtect = painter.Map().clone();

  painter.BeginStroke(Brush::kAbsorb);
  painter.Dab({22, 30}, 3);
  painter.Dab({70, 10}, 4);
  EXPECT_TRUE(painter.EndStroke());
  EXPECT_EQ(painter.Map().at<float>(30, 22), kLeastImportance);
  EXPECT_EQ(painter.Map().at<float>(10, 70), kLeastImportance);
  EXPECT_EQ(painter.Strokes().at<uchar>(30, 25), 1) << "protected, and not absorbed";
  const cv::Mat afterAbsorb = painter.Map().clone();

  // Restore paints the base back; a stroke that changes nothing is not kept.
  painter.BeginStroke(Brush::kRestore);
  painter.Dab({5, 55}, 3);
  EXPECT_FALSE(painter.EndStroke());
  painter.BeginStroke(Brush::kRestore);
  painter.Dab({70, 10}, 6);
  EXPECT_TRUE(painter.EndStroke());
  EXPECT_EQ(painter.Map().at<float>(10, 70), base.at<float>(10, 70));

  auto same = [](const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF) == 0; };
  EXPECT_FALSE(painter.Undo().empty());
  EXPECT_TRUE(same(painter.Map(), afterAbsorb));
  painter.Undo();
  EXPECT_TRUE(same(painter.Map(), afterProtect));
  painter.Undo();
  EXPECT_TRUE(same(painter.Map(), base)) << "undone exactly";
  EXPECT_FALSE(painter.CanUndo());
  EXPECT_TRUE(painter.Undo().empty());
  painter.Redo();
  painter.Redo();
  EXPECT_TRUE(same(painter.Map(), afterAbsorb));
  // A new stroke drops what could be redone.
  painter.BeginStroke(Brush::kProtect);
  painter.Dab({40, 40}, 2);
  painter.EndStroke();
  EXPECT_FALSE(painter.CanRedo());
  painter.Reset(base.clone());
  EXPECT_FALSE(painter.CanUndo());
  EXPECT_FALSE(painter.Painted());
}
