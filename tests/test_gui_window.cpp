// The window as a desktop user meets it: HiDPI screens and dark themes, the
// title, the Help menu, recent files, and the question before painted
// strokes are lost.
#include "gui_harness.hpp"

using namespace guitest;

namespace {

// The sample's window title.
constexpr char kTitle[] = "building.jpg — 868×600 — Quadrix";

double MeanGrey(const cv::Mat& picture) {
  const cv::Scalar m = cv::mean(picture);
  return (m[0] + m[1] + m[2]) / 3.0;
}

// The frame's middle, below the menu bar and above the status bar.
cv::Mat FrameMiddle(const std::string& frame) {
  const cv::Mat whole = Capture(frame);
  if (whole.rows < 200 || whole.cols < 200) return {};
  return whole(cv::Rect(whole.cols / 4, whole.rows / 3, whole.cols / 2, whole.rows / 3)).clone();
}

}  // namespace

TEST_F(Gui, AtScaleTwoThePhotoFillsTheCanvasOnePixelPerDevicePixel) {
  App app({Sample()}, {"GDK_SCALE=2"});
  // 100 %: the drawing area has the photo's size in device pixels.
  const std::string frame = WaitForPhoto(app, kSource);
  ASSERT_FALSE(frame.empty());
  const cv::Mat photo = testsupport::Sample();
  const Geometry area = DrawingArea(frame);
  cv::Mat shown;
  double diff = 1e9;
  const auto start = Clock::now();
  while (SecondsSince(start) < kWaitSeconds) {
    shown = Capture(area.id);
    diff = MeanAbsDiff(shown, photo);
    if (diff <= kPictureTolerance) break;
    Sleep(0.2);
  }
  ASSERT_LE(diff, kPictureTolerance) << app.Log();
  // Each quarter holds its own part of the photo, not the background.
  const int w = kSource.width / 2, h = kSource.height / 2;
  for (const cv::Rect quarter :
       {cv::Rect(0, 0, w, h), cv::Rect(w, 0, w, h), cv::Rect(0, h, w, h), cv::Rect(w, h, w, h)})
    EXPECT_LE(MeanAbsDiff(shown(quarter), photo(quarter)), kPictureTolerance)
        << quarter.x << "," << quarter.y;
}

TEST_F(Gui, TheEmptyWindowFollowsALightOrADarkTheme) {
  for (const bool dark : {false, true}) {
    App app({}, {dark ? "GTK_THEME=Adwaita:dark" : "GTK_THEME=Adwaita"});
    const std::string frame = WaitForFrame(app);
    ASSERT_FALSE(frame.empty());
    Sleep(0.5);
    const cv::Mat middle = FrameMiddle(frame);
    ASSERT_FALSE(middle.empty());
    if (dark)
      EXPECT_LT(MeanGrey(middle), 80) << "a dark canvas";
    else
      EXPECT_GT(MeanGrey(middle), 200) << "a light canvas";
    // The hint stands out of the canvas either way.
    cv::Mat grey;
    cv::cvtColor(middle, grey, cv::COLOR_BGR2GRAY);
    double least = 0, most = 0;
    cv::minMaxLoc(grey, &least, &most);
    EXPECT_GT(most - least, 120) << "the hint is readable";
  }
}

TEST_F(Gui, TheTitleNamesThePhotoWhichJoinsTheRecentFilesAndF1ListsTheKeys) {
  App app({Sample()});
  const std::string named = WaitForFrame(app);
  ASSERT_FALSE(named.empty());
  const auto opening = Clock::now();
  while (TitleOf(named) != kTitle && SecondsSince(opening) < kWaitSeconds) Sleep(0.1);
  EXPECT_EQ(TitleOf(named), kTitle);
  // File > Open Recent is kept in the user's configuration at once.
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  std::string config;
  const auto start = Clock::now();
  do {
    Sleep(0.1);
    config = testsupport::ReadFile(fs::path(home) / ".quadrix");
  } while (config.find(Sample()) == std::string::npos && SecondsSince(start) < kWaitSeconds);
  EXPECT_NE(config.find("file1=" + Sample()), std::string::npos) << config;

  Keys(named, "F1");
  const std::string keys = FindWindow(app.pid(), "Keyboard Shortcuts");
  ASSERT_FALSE(keys.empty()) << app.Log();
  Keys(keys, "Escape");
  const auto closing = Clock::now();
  while (!FindWindow(app.pid(), "Keyboard Shortcuts", 0.1).empty() &&
         SecondsSince(closing) < kWaitSeconds)
    Sleep(0.1);
  EXPECT_TRUE(FindWindow(app.pid(), "Keyboard Shortcuts", 0.1).empty()) << "Escape closes it";
  Keys(named, "ctrl+q");
  EXPECT_EQ(app.WaitExit(), 0) << "nothing painted, nothing asked\n" << app.Log();
  EXPECT_EQ(app.Log().find("quads.size="), std::string::npos) << "quiet without --verbose";
}

TEST_F(Gui, PaintedStrokesAreAskedForBeforeTheyAreLostAndCancelKeepsThem) {
  TempDir tmp;
  App app({Sample()});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());
  const Geometry area = DrawingArea(frame);
  Keys(frame, "p");
  Stroke(area, {{150, 520}, {250, 525}, {350, 530}});
  Sleep(0.3);
  Keys(frame, "Escape");

  // Exit, then opening another photo: each asks, and Cancel keeps all.
  Keys(frame, "ctrl+q");
  std::string ask = FindWindow(app.pid(), "Unsaved Importance");
  ASSERT_FALSE(ask.empty()) << app.Log();
  Keys(ask, "Escape");
  EXPECT_FALSE(app.WaitExit(1.0)) << "Cancel keeps the window";
  const std::string other = tmp / "other.png";
  cv::imwrite(other, testsupport::Sample({400, 300}));
  OpenPhoto(app, frame, other);
  ask = FindWindow(app.pid(), "Unsaved Importance");
  ASSERT_FALSE(ask.empty()) << app.Log();
  Keys(ask, "Escape");
  Sleep(1.0);
  EXPECT_EQ(TitleOf(frame), kTitle) << "the photo painted on is still shown";

  // Saved, the strokes are no longer at risk: Exit asks nothing.
  const std::string saved = tmp / "painted.png";
  Keys(frame, "ctrl+shift+s");
  FileDialog(app, "Save Importance", saved);
  const auto start = Clock::now();
  while (!fs::exists(saved) && SecondsSince(start) < kWaitSeconds) Sleep(0.1);
  ASSERT_TRUE(fs::exists(saved));
  Sleep(0.3);
  Keys(frame, "ctrl+q");
  EXPECT_EQ(app.WaitExit(), 0) << app.Log();
}
