// The desktop program under a virtual X server (Xvfb, no window manager):
// driven with xdotool, its drawing area captured with ImageMagick's import,
// and every picture compared with what quadrix-cli -o draws for the same
// size and switches.

#include "gui_harness.hpp"

using namespace guitest;

TEST_F(Gui, StartsAtTheSourceSizeWithTheSolutionThere) {
  Reference ref("", {kSource});
  App app({"1", Sample()});
  const std::string frame = WaitForFrame(app);
  ASSERT_FALSE(frame.empty());
  const double diff = WaitForPicture(frame, ref(kSource));
  const Geometry area = DrawingArea(frame);
  EXPECT_EQ(cv::Size(area.width, area.height), kSource);
  EXPECT_LE(diff, kPictureTolerance);
}

TEST_F(Gui, PictureFollowsEverySizeOfTheWindow) {
  const std::vector<cv::Size> sizes = {{600, 600}, {1200, 600}, {860, 800}, {500, 400}};
  Reference ref("", sizes);
  App app({"1", Sample()});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());
  for (const cv::Size& size : sizes) {
    ResizeDrawingArea(frame, size);
    EXPECT_LE(WaitForPicture(frame, ref(size)), kPictureTolerance)
        << size.width << "x" << size.height;
  }
  // A plain scaling would look otherwise: the comparisons above can fail.
  EXPECT_GT(MeanAbsDiff(ref({600, 600}), Reference("--uniform", {{600, 600}})({600, 600})),
            10 * kPictureTolerance);
}

TEST_F(Gui, AcceleratorsSwitchGridImageAndScaling) {
  const cv::Size size(700, 500);
  App app({"1", Sample()});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());
  ResizeDrawingArea(frame, size);
  ASSERT_LE(WaitForPicture(frame, Reference("", {size})(size)), kPictureTolerance);

  struct Step {
    const char* keys;
    const char* options;  // what quadrix-cli must be told to draw the same
  };
  const Step steps[] = {
      {"ctrl+u", "--uniform"},
      {"ctrl+g", "--uniform --grid"},
      {"ctrl+2", "--uniform --grid --show-importance"},
      {"ctrl+r", "--grid --show-importance"},
      {"ctrl+r", "--grid --show-importance"},  // already chosen: nothing changes
      {"ctrl+1", "--grid"},
      {"ctrl+g", ""},
  };
  for (const Step& step : steps) {
    Keys(frame, step.keys);
    EXPECT_LE(WaitForPicture(frame, Reference(step.options, {size})(size)), kPictureTolerance)
        << step.keys << " should draw as quadrix-cli " << step.options;
  }

  Keys(frame, "ctrl+q");
  EXPECT_EQ(app.WaitExit(), 0) << app.Log();
}

TEST_F(Gui, FileExitEndsWithStatusZero) {
  App app({"0", Sample()});
  const std::string frame = WaitForFrame(app);
  ASSERT_FALSE(frame.empty());
  // Through the menu itself: open the menu bar, go up to the last item of
  // "File", which is "Exit".
  Keys(frame, "F10");
  Sleep(0.3);
  Keys(frame, "Up Return");
  EXPECT_EQ(app.WaitExit(), 0) << app.Log();
}

TEST_F(Gui, BadCommandLineShowsTheMessageBoxAndEnds) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"2", Sample()}, {"1"}}) {
    App app(args);
    const std::string box = FindWindow(app.pid(), "Message");
    ASSERT_FALSE(box.empty()) << app.Log();
    EXPECT_TRUE(FindWindow(app.pid(), kFrameTitle, 0.5).empty()) << "no main window";
    EXPECT_FALSE(app.WaitExit(0.5)) << "the box waits for the user";
    Keys(box, "Return");
    const auto status = app.WaitExit();
    ASSERT_TRUE(status) << "still running after the box was dismissed";
    EXPECT_EQ(*status, quadrix::kExitUsage) << app.Log();
  }
}

TEST_F(Gui, UnusableImagesShowTheErrorBoxAndEnd) {
  TempDir tmp;
  const std::string sal = tmp / "sal.png";
  cv::imwrite(sal, testsupport::ImportanceImage({300, 300}));
  const std::vector<std::vector<std::string>> cases = {
      {"1", Sample(), tmp / "missing-importance.png"},
      {"1", tmp / "missing-source.png"},
      // An importance image of another size would otherwise stop the
      // program on a failed internal check, without a box.
      {"1", Sample(), sal},
  };
  for (const auto& args : cases) {
    App app(args);
    const std::string box = FindWindow(app.pid(), "Error");
    ASSERT_FALSE(box.empty()) << args.back() << "\n" << app.Log();
    Keys(box, "Return");
    const auto status = app.WaitExit();
    ASSERT_TRUE(status) << "still running after the box was dismissed";
    EXPECT_EQ(*status, quadrix::kExitFailure) << args.back() << "\n" << app.Log();
  }
  // The same pixel limit as the command line, from the environment.
  App app({"1", Sample()}, {"QUADRIX_MAX_PIXELS=500000"});
  const std::string box = FindWindow(app.pid(), "Error");
  ASSERT_FALSE(box.empty()) << app.Log();
  Keys(box, "Return");
  EXPECT_EQ(app.WaitExit(), quadrix::kExitFailure) << app.Log();
  App fits({"1", Sample()}, {"QUADRIX_MAX_PIXELS=520800"});  // 868 x 600
  EXPECT_FALSE(WaitForFrame(fits).empty());
  // And the same memory limit.
  App lean({"1", Sample()}, {"QUADRIX_MAX_MEMORY=100M"});
  const std::string memoryBox = FindWindow(lean.pid(), "Error");
  ASSERT_FALSE(memoryBox.empty()) << lean.Log();
  Keys(memoryBox, "Return");
  EXPECT_EQ(lean.WaitExit(), quadrix::kExitFailure) << lean.Log();
}

TEST_F(Gui, WithoutOpenGl33TheErrorBoxSaysSoAndTheProgramEnds) {
  // Mesa then offers no 3.3 core profile context.
  App app({"1", Sample()}, {"MESA_GL_VERSION_OVERRIDE=3.0"});
  const std::string box = FindWindow(app.pid(), "Error");
  ASSERT_FALSE(box.empty()) << app.Log();
  Keys(box, "Return");
  EXPECT_EQ(app.WaitExit(), quadrix::kExitFailure) << app.Log();
}

TEST_F(Gui, SavePictureWritesTheColourPictureWithoutTheGrid) {
  const cv::Size size(640, 480);
  TempDir tmp;
  App app({"1", Sample()});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());
  ResizeDrawingArea(frame, size);
  Keys(frame, "ctrl+g ctrl+2");
  ASSERT_LE(WaitForPicture(frame, Reference("--grid --show-importance", {size})(size)),
            kPictureTolerance);

  // Whatever the view shows, the file is the picture quadrix-cli draws.
  const Reference ref("", {size});
  const cv::Mat png = SavePicture(app, frame, tmp / "saved.png");
  EXPECT_LE(MeanAbsDiff(png, ref(size)), 0.01);
  const cv::Mat jpeg = SavePicture(app, frame, tmp / "saved.jpg");
  EXPECT_LE(MeanAbsDiff(jpeg, ref(size)), 3.0) << "a JPEG of the same picture";
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 2)
      << "no temporary file left";
}

TEST_F(Gui, SavePictureKeepsATransparentPhotosAlpha) {
  TempDir tmp;
  const std::string cut = tmp / "cut.png";
  cv::imwrite(cut, testsupport::CutOutDisc());
  App app({"1", cut});
  const std::string frame = WaitForPhoto(app, {400, 300});
  ASSERT_FALSE(frame.empty());
  SavePicture(app, frame, tmp / "saved.png");
  const cv::Mat saved = cv::imread(tmp / "saved.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(saved.type(), CV_8UC4) << app.Log();
  EXPECT_EQ(saved.at<cv::Vec4b>(1, 1)[3], 0) << "the corner stays transparent";
  EXPECT_EQ(saved.at<cv::Vec4b>(saved.rows / 2, saved.cols / 2)[3], 255);
}

TEST_F(Gui, OpenLoadsAnotherImageAndKeepsTheCurrentOneOnFailure) {
  TempDir tmp;
  const std::string other = tmp / "other.png";
  cv::imwrite(other, testsupport::Sample({400, 300}));
  const std::string broken = tmp / "broken.png";
  std::ofstream(broken) << "not an image";
  App app({"1", Sample()});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());

  auto open = [&](const std::string& path) { OpenPhoto(app, frame, path); };

  open(other);
  const cv::Size otherSize(400, 300);
  const cv::Mat expected = Reference("", {otherSize}, other)(otherSize);
  EXPECT_LE(WaitForPicture(frame, expected), kPictureTolerance) << "window fitted to the image";

  open(broken);
  const std::string box = FindWindow(app.pid(), "Error");
  ASSERT_FALSE(box.empty()) << app.Log();
  Keys(box, "Return");
  EXPECT_LE(WaitForPicture(frame, expected), kPictureTolerance) << "the current image stays";
  EXPECT_TRUE(app.running());
}

TEST_F(Gui, OpenWithoutAPhotoThenOpenOneAndResize) {
  TempDir tmp;
  const std::string photo = tmp / "photo.png";
  cv::imwrite(photo, testsupport::Sample({400, 300}));
  App app({"--open"});
  const std::string frame = WaitForFrame(app);
  ASSERT_FALSE(frame.empty());
  const Geometry none = DrawingArea(frame);
  EXPECT_LE(none.width * none.height, 1) << "no drawing area without a photo";
  // The hint: dark text in the middle of a white window.
  const cv::Mat empty = Capture(frame);
  ASSERT_FALSE(empty.empty());
  cv::Mat grey;
  cv::cvtColor(empty(cv::Rect(0, empty.rows / 3, empty.cols, empty.rows / 3)), grey,
               cv::COLOR_BGR2GRAY);
  double darkest = 0;
  cv::minMaxLoc(grey, &darkest);
  EXPECT_LT(darkest, 100);
  EXPECT_GT(cv::mean(grey)[0], 200);

  OpenPhoto(app, frame, photo);
  const cv::Size size(400, 300);
  const cv::Size wider(560, 300);
  const Reference ref("", {size, wider}, photo);
  EXPECT_LE(WaitForPicture(frame, ref(size)), kPictureTolerance);
  ResizeDrawingArea(frame, wider);
  EXPECT_LE(WaitForPicture(frame, ref(wider)), kPictureTolerance);
  Keys(frame, "ctrl+q");
  EXPECT_EQ(app.WaitExit(), 0) << app.Log();
}

TEST_F(Gui, SetSizeGivesTheCommandLinesPictureOfThatSize) {
  const cv::Size size(1080, 1080);
  App app({"1", Sample()});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());
  Keys(frame, "ctrl+e");
  const std::string dialog = FindWindow(app.pid(), "Set Size");
  ASSERT_FALSE(dialog.empty()) << app.Log();
  // Width has the focus with its text selected; Tab selects the height.
  Xdotool("type --delay 2 1080");
  Keys(dialog, "Tab");
  Xdotool("type --delay 2 1080");
  Keys(dialog, "Return");
  EXPECT_LE(WaitForPicture(frame, Reference("", {size})(size)), kPictureTolerance);
}

TEST_F(Gui, SpaceShowsPlainScalingWhileHeld) {
  const cv::Size size(700, 500);
  const Reference resized("", {size});
  const Reference plain("--uniform", {size});
  App app({"1", Sample()});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());
  ResizeDrawingArea(frame, size);
  ASSERT_LE(WaitForPicture(frame, resized(size)), kPictureTolerance);
  Xdotool("windowfocus --sync " + frame + " keydown space");
  EXPECT_LE(WaitForPicture(frame, plain(size)), kPictureTolerance);
  Xdotool("keyup space");
  EXPECT_LE(WaitForPicture(frame, resized(size)), kPictureTolerance);
}

TEST_F(Gui, APhotoTooSmallForAComputedMapOpens) {
  TempDir tmp;
  const std::string photo = tmp / "small.png";
  cv::imwrite(photo, testsupport::Sample({100, 80}));
  const cv::Size size(100, 80);
  const cv::Mat expected = Reference("", {size}, photo)(size);
  App app({"1", photo});
  const std::string frame = WaitForFrame(app);
  ASSERT_FALSE(frame.empty());
  // The menu bar may keep the window wider than the photo: the picture then
  // lies centred in the drawing area.
  double diff = 1e9;
  const auto start = Clock::now();
  while (SecondsSince(start) < kWaitSeconds) {
    const Geometry area = DrawingArea(frame);
    if (area.width >= size.width && area.height == size.height) {
      const cv::Mat shown = Capture(area.id);
      if (!shown.empty()) {
        diff = MeanAbsDiff(
            shown(cv::Rect((shown.cols - size.width) / 2, 0, size.width, size.height)), expected);
        if (diff <= kPictureTolerance) break;
      }
    }
    Sleep(0.1);
  }
  EXPECT_LE(diff, kPictureTolerance) << app.Log();
  EXPECT_TRUE(app.running());
}

namespace {

double RegionDiff(const cv::Mat& a, const cv::Mat& b, cv::Rect region) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  return MeanAbsDiff(a(region), b(region));
}

}  // namespace

TEST_F(Gui, AProtectStrokeChangesThePictureUndoRestoresItAndTheMapSavesAndLoadsBack) {
  const cv::Size size(1200, 600);
  const Reference ref("", {size});
  TempDir tmp;
  App app({"1", Sample()});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());
  ResizeDrawingArea(frame, size);
  ASSERT_LE(WaitForPicture(frame, ref(size)), kPictureTolerance);
  const Geometry area = DrawingArea(frame);
  const cv::Mat before = Capture(area.id);

  // Protect the hedge at the bottom left, then put the brush down (the tint
  // goes) and wait for the energy built from the painted map.
  Keys(frame, "p");
  Stroke(area, {{150, 520}, {250, 525}, {350, 530}, {450, 530}});
  Sleep(0.5);
  Keys(frame, "Escape");
  const cv::Rect painted(100, 420, 420, 180);
  cv::Mat after;
  const auto start = Clock::now();
  do {
    Sleep(0.2);
    after = Capture(area.id);
  } while (RegionDiff(after, before, painted) < 4 && SecondsSince(start) < kWaitSeconds);
  EXPECT_GE(RegionDiff(after, before, painted), 4) << "the protected hedge keeps more height\n"
                                                   << app.Log();

  // Each waits for the energy built anew: the picture drawn meanwhile may
  // already lie within the usual tolerance.
  Keys(frame, "ctrl+z");
  EXPECT_LE(WaitForPicture(frame, before, 0.05), 0.05) << "undone exactly";
  Keys(frame, "ctrl+shift+z");
  EXPECT_LE(WaitForPicture(frame, after, 0.05), 0.05) << "and done again";

  // The map as painted, in the 8-bit format of an importance file: the
  // computed map, with 250 where the stroke went.
  const std::string saved = tmp / "painted.png";
  Keys(frame, "ctrl+shift+s");
  FileDialog(app, "Save Importance", saved);
  const auto wait = Clock::now();
  while (!fs::exists(saved) && SecondsSince(wait) < kWaitSeconds) Sleep(0.1);
  Sleep(0.2);
  const cv::Mat map = cv::imread(saved, cv::IMREAD_GRAYSCALE);
  ASSERT_EQ(map.size(), kAligned) << app.Log();
  const std::string computed = tmp / "computed.png";
  ASSERT_EQ(testsupport::Run(std::string(QUADRIX_CLI_PATH) + " --importance-out " +
                             Quote(computed) + " 1 " + Quote(Sample()))
                .status,
            0);
  const cv::Mat unpainted = cv::imread(computed, cv::IMREAD_GRAYSCALE);
  const cv::Mat changed = map != unpainted;
  EXPECT_GT(cv::countNonZero(changed), 2000);
  EXPECT_EQ(cv::countNonZero(changed & (map != 250)), 0) << "only Protect's level changed";

  // Loaded back, it gives the same picture.
  Keys(frame, "ctrl+shift+o");
  FileDialog(app, "Load Importance", saved);
  Sleep(1.0);
  EXPECT_LE(WaitForPicture(frame, after), kPictureTolerance);
  EXPECT_TRUE(app.running());
}

TEST_F(Gui, AnImportanceFileWithABlackBackgroundResizesContentAware) {
  TempDir tmp;
  const std::string sal = tmp / "band.png";
  cv::Mat band(600, 868, CV_8UC1, cv::Scalar(0));
  band(cv::Rect(300, 0, 260, 600)).setTo(250);
  cv::imwrite(sal, band);
  const cv::Size size(1200, 600);
  const std::string cli = std::string(QUADRIX_CLI_PATH) + " --size 1200x600 -o ";
  ASSERT_EQ(
      testsupport::Run(cli + Quote(tmp / "aware.png") + " 1 " + Quote(Sample()) + " " + Quote(sal))
          .status,
      0);
  ASSERT_EQ(
      testsupport::Run(cli + Quote(tmp / "plain.png") + " --uniform 1 " + Quote(Sample())).status,
      0);
  const cv::Mat aware = cv::imread(tmp / "aware.png");
  EXPECT_GT(MeanAbsDiff(aware, cv::imread(tmp / "plain.png")), 10 * kPictureTolerance)
      << "not plain scaling";
  App app({"1", Sample(), sal});
  const std::string frame = WaitForPhoto(app);
  ASSERT_FALSE(frame.empty());
  ResizeDrawingArea(frame, size);
  EXPECT_LE(WaitForPicture(frame, aware), kPictureTolerance);
}
