// The parts of the desktop program that need no display: its command line,
// the view's arithmetic, the background work and the photo load.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shell/launch.hpp"
#include "shell/photo_load.hpp"
#include "shell/save_names.hpp"
#include "shell/view_math.hpp"
#include "shell/worker.hpp"
#include "test_support.hpp"

namespace {

using namespace quadrix;
using testsupport::TempDir;

TEST(LaunchSettings, ModeWordAndPaths) {
  LaunchSettings s;
  ASSERT_TRUE(ReadLaunchSettings({"quadrix", "1", "a.png"}, s));
  EXPECT_TRUE(s.useScaleTerm);
  EXPECT_EQ(s.srcPath, "a.png");
  EXPECT_EQ(s.salPath, "");

  ASSERT_TRUE(ReadLaunchSettings({"quadrix", "0", "a.png", "s.png", "ignored"}, s));
  EXPECT_FALSE(s.useScaleTerm);
  EXPECT_EQ(s.salPath, "s.png");

  ASSERT_TRUE(ReadLaunchSettings({"quadrix", "10", "b.png"}, s));
  EXPECT_TRUE(s.useScaleTerm) << "only the first character counts";
  EXPECT_EQ(s.salPath, "") << "no fourth word, no importance file";
  EXPECT_FALSE(s.openWindow);

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"quadrix", "2", "a.png"}, {"quadrix", "", "a.png"}, {"quadrix", "1"}}) {
    LaunchSettings untouched;
    untouched.srcPath = "keep";
    EXPECT_FALSE(ReadLaunchSettings(bad, untouched)) << bad.size();
    EXPECT_EQ(untouched.srcPath, "keep");
  }
}

TEST(LaunchSettings, OpenWithOrWithoutAPhoto) {
  LaunchSettings s;
  s.salPath = "stale";
  ASSERT_TRUE(ReadLaunchSettings({"quadrix", "--open"}, s));
  EXPECT_TRUE(s.openWindow);
  EXPECT_TRUE(s.useScaleTerm) << "mode 1";
  EXPECT_EQ(s.srcPath, "");
  EXPECT_EQ(s.salPath, "");

  ASSERT_TRUE(ReadLaunchSettings({"quadrix", "--open", "a.png", "s.png", "ignored"}, s));
  EXPECT_EQ(s.srcPath, "a.png");
  EXPECT_EQ(s.salPath, "s.png");

  // The classic forms keep their meaning.
  ASSERT_TRUE(ReadLaunchSettings({"quadrix", "0", "a.png"}, s));
  EXPECT_FALSE(s.openWindow);
  EXPECT_FALSE(s.useScaleTerm);
  EXPECT_FALSE(ReadLaunchSettings({"quadrix", "--opened", "a.png"}, s));
  // Nothing at all opens the empty window; --verbose stands anywhere.
  ASSERT_TRUE(ReadLaunchSettings({"quadrix"}, s));
  EXPECT_TRUE(s.openWindow);
  EXPECT_EQ(s.srcPath, "");
  EXPECT_FALSE(s.verbose);
  ASSERT_TRUE(ReadLaunchSettings({"quadrix", "1", "--verbose", "a.png"}, s));
  EXPECT_TRUE(s.verbose);
  EXPECT_FALSE(s.openWindow);
  EXPECT_EQ(s.srcPath, "a.png");
  EXPECT_EQ(std::string(kUsageText).find("quadrix.exe"), std::string::npos);
}

TEST(LaunchSettings, APhotoAsTheFirstWordIsOpened) {
  TempDir dir;
  const std::string photo = dir / "photo.jpg", ones = dir / "1.jpg", sal = dir / "s.png";
  for (const std::string& f : {photo, ones, sal}) std::ofstream(f) << "x";
  LaunchSettings s;
  ASSERT_TRUE(ReadLaunchSettings({"quadrix", photo}, s));
  EXPECT_TRUE(s.openWindow) << "as --open PHOTO";
  EXPECT_TRUE(s.useScaleTerm);
  EXPECT_EQ(s.srcPath, photo);
  ASSERT_TRUE(ReadLaunchSettings({"quadrix", photo, sal}, s));
  EXPECT_EQ(s.salPath, sal);
  // A file whose name reads as MODE is a photo when alone, MODE otherwise.
  ASSERT_TRUE(ReadLaunchSettings({"quadrix", ones}, s));
  EXPECT_EQ(s.srcPath, ones);
  ASSERT_TRUE(ReadLaunchSettings({"quadrix", "1", photo}, s));
  EXPECT_FALSE(s.openWindow);
  EXPECT_EQ(s.srcPath, photo);
  // Not a file: a usage error, as before.
  EXPECT_FALSE(ReadLaunchSettings({"quadrix", dir / "missing.jpg"}, s));
  EXPECT_FALSE(ReadLaunchSettings({"quadrix", dir.path().string()}, s)) << "a folder";
}

TEST(SavePicture, SuggestsThePhotosNameSizeFolderAndFormatAndKnowsThePhotoByAnyName) {
  const SuggestedPicture jpeg = SuggestPicture("/photos/trip/IMG_0042.JPG", {1080, 1350});
  EXPECT_EQ(jpeg.folder, "/photos/trip");
  EXPECT_EQ(jpeg.name, "IMG_0042_1080x1350.JPG");
  EXPECT_EQ(jpeg.format, ImageFormat::kJpeg);
  const SuggestedPicture webp = SuggestPicture("cut.out.webp", {400, 300});
  EXPECT_EQ(webp.name, "cut.out_400x300.webp");
  EXPECT_EQ(webp.format, ImageFormat::kWebp);
  // A photo in a format the window does not write is saved as PNG.
  const SuggestedPicture odd = SuggestPicture("/a/scan.pnm", {10, 20});
  EXPECT_EQ(odd.name, "scan_10x20.png");
  EXPECT_EQ(odd.format, ImageFormat::kPng);
  EXPECT_EQ(SuggestPicture("", {860, 400}).name, "quadrix_860x400.png");

  TempDir dir;
  const std::string photo = dir / "photo.jpg";
  std::ofstream(photo) << "x";
  std::filesystem::create_symlink(photo, dir / "link.jpg");
  EXPECT_TRUE(IsSameFile(dir / "link.jpg", photo));
  EXPECT_TRUE(IsSameFile(dir.path().string() + "/./photo.jpg", photo));
  EXPECT_FALSE(IsSameFile(dir / "other.jpg", photo)) << "not there yet";
  std::ofstream(dir / "other.jpg") << "x";
  EXPECT_FALSE(IsSameFile(dir / "other.jpg", photo));
}

#ifdef QUADRIX_APP_PATH
TEST(LaunchSettings, VersionAndHelpAreAnsweredWithoutADisplay) {
  const std::string app =
      "env -u DISPLAY -u WAYLAND_DISPLAY " + testsupport::Quote(QUADRIX_APP_PATH);
  const auto version = testsupport::Run(app + " --version");
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out, std::string("quadrix ") + QUADRIX_VERSION + "\n");
  for (const char* option : {" --help", " -h"}) {
    const auto help = testsupport::Run(app + option);
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.out, kHelpText) << option;
    EXPECT_NE(help.out.find("--open"), std::string::npos);
  }
}
#endif

TEST(View, FitZoomKeepsTheViewInsideWhatIsAvailable) {
  EXPECT_EQ(FitZoom({860, 600}, {1600, 950}), 1.0) << "fits: the classic 100 %";
  const cv::Size big(4000, 3000);
  const cv::Size available(1600, 951);
  const double z = FitZoom(big, available);
  EXPECT_NEAR(z, 0.317, 0.0005);
  EXPECT_LE(ViewSize(big, z).width, available.width);
  EXPECT_LE(ViewSize(big, z).height, available.height);
  EXPECT_GT(ViewSize(big, z + 0.002).height, available.height) << "the largest that fits";
  // Past 100 % only when asked for; below the smallest step when the
  // target is that large.
  EXPECT_NEAR(FitZoom({100, 80}, {1600, 951}, kMaxZoom), 8.0, 1e-9);
  EXPECT_NEAR(FitZoom({400, 300}, {1600, 951}, kMaxZoom), 3.17, 0.0005);
  for (const cv::Size huge : {cv::Size(100000, 100), cv::Size(32768, 32768)}) {
    const double least = FitZoom(huge, {1600, 951});
    EXPECT_LT(least, kMinZoom);
    EXPECT_LE(ViewSize(huge, least).width, 1600);
    EXPECT_LE(ViewSize(huge, least).height, 951);
  }
}

TEST(View, DurationsReadAsTimesNeverAsZero) {
  EXPECT_EQ(FormatDuration(0.0), "<0.1 ms");
  EXPECT_EQ(FormatDuration(0.04), "<0.1 ms");
  EXPECT_EQ(FormatDuration(0.06), "0.1 ms");
  EXPECT_EQ(FormatDuration(1.23), "1.2 ms");
  EXPECT_EQ(FormatDuration(99.97), "100 ms") << "not 100.0 ms";
  EXPECT_EQ(FormatDuration(240.4), "240 ms");
  EXPECT_EQ(FormatDuration(1500.0), "1.5 s");
}

TEST(View, ZoomStepsAndTheirLimits) {
  EXPECT_EQ(StepZoom(1.0, true, 8.0), 1.5);
  EXPECT_EQ(StepZoom(1.0, false, 8.0), 2.0 / 3);
  EXPECT_EQ(StepZoom(0.317, true, 8.0), 1.0 / 3);
  EXPECT_EQ(StepZoom(0.317, false, 8.0), 0.25);
  EXPECT_EQ(StepZoom(1.0, true, 1.2), 1.2) << "up to what fits on the screen";
  EXPECT_EQ(StepZoom(1.2, true, 1.2), 1.2);
  EXPECT_EQ(StepZoom(kMinZoom, false, 8.0), kMinZoom);
  EXPECT_EQ(StepZoom(kMaxZoom, true, kMaxZoom), kMaxZoom);
}

TEST(View, TargetAndAreaFollowEachOther) {
  EXPECT_EQ(ViewSize({860, 600}, 1.0), cv::Size(860, 600));
  EXPECT_EQ(TargetForArea({860, 600}, 1.0), cv::Size(860, 600)) << "zoom 1: area is target";
  EXPECT_EQ(ViewSize({4000, 3000}, 0.25), cv::Size(1000, 750));
  EXPECT_EQ(TargetForArea({1001, 750}, 0.25), cv::Size(4004, 3000));
  EXPECT_EQ(ViewSize({3, 1}, 0.1), cv::Size(1, 1)) << "never below a pixel";
  EXPECT_EQ(ViewSize({0, 0}, 0.5), cv::Size(0, 0));
}

TEST(View, PictureLiesCentredInAWiderArea) {
  EXPECT_EQ(PictureRect({860, 600}, {860, 600}, 1.0), cv::Rect(0, 0, 860, 600));
  EXPECT_EQ(PictureRect({126, 80}, {100, 80}, 1.0), cv::Rect(13, 0, 100, 80));
  EXPECT_EQ(PictureRect({200, 100}, {100, 80}, 1.0), cv::Rect(50, 10, 100, 80));
  // An area smaller than the view: the largest scale that fits.
  EXPECT_EQ(PictureRect({50, 80}, {100, 80}, 1.0), cv::Rect(0, 20, 50, 40));
}

TEST(View, AspectPresetsKeepTheLockedSide) {
  EXPECT_EQ(AspectSize(1, 1, {1080, 720}, true), cv::Size(1080, 1080));
  EXPECT_EQ(AspectSize(4, 5, {1080, 720}, true), cv::Size(1080, 1350));
  EXPECT_EQ(AspectSize(16, 9, {1080, 720}, false), cv::Size(1280, 720));
  EXPECT_EQ(AspectSize(9, 16, {1080, 720}, false), cv::Size(405, 720));
}

TEST(View, APointOfTheWarpedMeshMapsBackToTheSource) {
  // 3 x 2 vertices over a source of 40 x 20; the picture is twice as wide
  // and its middle column of vertices moved right by 10.
  std::vector<float> xy = {0, 0, 50, 0, 80, 0, 0, 20, 50, 20, 80, 20};
  cv::Point2d at;
  double scale = 0;
  ASSERT_TRUE(MeshPointToSource(3, 2, xy, {40, 20}, {25, 10}, at, scale));
  EXPECT_NEAR(at.x, 10.0, 1e-9);
  EXPECT_NEAR(at.y, 10.0, 1e-9);
  EXPECT_NEAR(scale, std::sqrt(20.0 / 50.0), 1e-9);
  ASSERT_TRUE(MeshPointToSource(3, 2, xy, {40, 20}, {65, 5}, at, scale));
  EXPECT_NEAR(at.x, 30.0, 1e-9);
  EXPECT_NEAR(at.y, 5.0, 1e-9);
  EXPECT_FALSE(MeshPointToSource(3, 2, xy, {40, 20}, {81, 5}, at, scale)) << "off the mesh";
}

// A stand-in for the toolkit's CallAfter: functions wait in a queue until the
// "GUI thread" (the test) runs them.
class Queue {
 public:
  BackgroundWork::Poster Poster() {
    return [this](std::function<void()> fn) {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(fn));
    };
  }
  // Runs what is queued until `done` holds or time is up.
  bool RunUntil(const std::function<bool()>& done, double seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!queue_.empty()) {
          fn = std::move(queue_.front());
          queue_.pop_front();
        }
      }
      if (fn)
        fn();
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

TEST(BackgroundWork, ACancelledJobPostsNothingAndJobsNeverOverlap) {
  Queue gui;
  std::vector<std::string> seen;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> release{false};
  bool delivered = false;
  bool deliveredCancelled = false;
  {
    BackgroundWork work(gui.Poster());
    work.Start([&](const BackgroundWork::Job& job) {
      if (++running > 1) overlapped = true;
      job.Post([&] { seen.push_back("first, before"); });
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      job.Post([&] { seen.push_back("first, after"); });
      job.Deliver([&](bool cancelled) {
        delivered = true;
        deliveredCancelled = cancelled;
      });
      --running;
    });
    ASSERT_TRUE(gui.RunUntil([&] { return !seen.empty(); }));
    work.Start([&](const BackgroundWork::Job& job) {
      if (++running > 1) overlapped = true;
      job.Post([&] { seen.push_back("second"); });
      --running;
    });
    release = true;
    ASSERT_TRUE(gui.RunUntil([&] { return seen.size() >= 2 && delivered; }));
  }
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(seen, (std::vector<std::string>{"first, before", "second"}));
  EXPECT_TRUE(deliveredCancelled) << "given back, and told it was cancelled";
}

TEST(PhotoLoad, LoadsSolvesAndLaysOutTheTexels) {
  TempDir dir;
  const std::string src = dir / "photo.png";
  cv::imwrite(src, testsupport::Sample({410, 290}));
  std::vector<LoadStep> steps;
  cv::Size aligned;
  ResizeSettings settings;
  settings.useScaleTerm = true;
  ResizeHost host(settings);
  testing::internal::CaptureStdout();
  const auto photo = LoadPhoto(
      {src, "", 0}, std::move(host),
      [&](LoadStep step, cv::Size size) {
        steps.push_back(step);
        aligned = size;
      },
      [] { return false; });
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(photo);
  EXPECT_EQ(steps,
            (std::vector<LoadStep>{LoadStep::kReading, LoadStep::kImportance, LoadStep::kLines,
                                   LoadStep::kFactoring, LoadStep::kSolving, LoadStep::kTexels}));
  EXPECT_EQ(aligned, cv::Size(420, 300));
  EXPECT_EQ(photo->host.srcWidth(), 420);
  EXPECT_TRUE(photo->host.contentAware());
  EXPECT_TRUE(photo->host.settings().useScaleTerm);
  // Solved at the source size: the rest mesh.
  ASSERT_EQ(photo->host.solution().size(), photo->host.restCoords().size());
  for (size_t k = 0; k < photo->host.solution().size(); ++k)
    ASSERT_NEAR(photo->host.solution()[k], photo->host.restCoords()[k], 1e-3) << k;
  EXPECT_EQ(photo->colourTexels.size(), 410u * 290u * 4u) << "the photo's own pixels";
  EXPECT_EQ(photo->importanceTexels.size(), 420u * 300u * 4u);
}

TEST(PhotoLoad, ABigPhotoIsPreviewedAtOnceAndShownFromACopyTheSizeOfAScreen) {
  TempDir dir;
  const std::string src = dir / "big.jpg";
  cv::imwrite(src, testsupport::Sample({2600, 1800}), {cv::IMWRITE_JPEG_QUALITY, 95});
  const cv::Mat decoded = cv::imread(src, cv::IMREAD_COLOR);
  std::vector<std::string> events;
  cv::Mat preview;
  testing::internal::CaptureStdout();
  const auto photo = LoadPhoto(
      {src, "", 0}, ResizeHost(),
      [&](LoadStep step, cv::Size) {
        events.push_back("step " + std::to_string(static_cast<int>(step)));
      },
      [] { return false; },
      [&](const cv::Mat& picture) {
        events.push_back("preview");
        preview = picture;
      });
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(photo);
  // Shown right after reading, before any analysis.
  EXPECT_EQ(events, (std::vector<std::string>{"step 0", "preview", "step 1", "step 2", "step 3",
                                              "step 4", "step 5"}));
  // The colour texture is the photo reduced to kViewSide, the preview that
  // reduced again; saving still draws from the photo.
  cv::Mat view, expected;
  cv::resize(decoded, view, {kViewSide, 1385}, 0, 0, cv::INTER_AREA);
  ASSERT_EQ(preview.size(), cv::Size(kPreviewSide, 886));
  cv::resize(view, expected, preview.size(), 0, 0, cv::INTER_AREA);
  EXPECT_EQ(cv::norm(preview, expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(photo->colourSize, view.size());
  EXPECT_EQ(photo->colourTexels.size(), static_cast<size_t>(view.total()) * 4);
  EXPECT_EQ(photo->host.DrawImage().size(), decoded.size());
  EXPECT_EQ(photo->host.RestSize(), decoded.size());
}

TEST(PhotoLoad, StopsWhenCancelledAndNamesWhatCannotBeUsed) {
  TempDir dir;
  const std::string src = dir / "photo.png";
  cv::imwrite(src, testsupport::Sample({410, 290}));
  int calls = 0;
  EXPECT_EQ(LoadPhoto(
                {src, "", 0}, ResizeHost(), [](LoadStep, cv::Size) {}, [&] { return ++calls > 1; }),
            nullptr);
  EXPECT_EQ(calls, 2) << "nothing after the check that saw the cancel";

  auto why = [&](const PhotoRequest& request) -> std::string {
    try {
      LoadPhoto(
          request, ResizeHost(), [](LoadStep, cv::Size) {}, [] { return false; });
    } catch (const PhotoError& e) {
      return e.what();
    }
    return "no error";
  };
  const std::string sal = dir / "sal.png";
  cv::imwrite(sal, testsupport::ImportanceImage({300, 300}));
  EXPECT_NE(why({dir / "missing.png", "", 0}).find("missing.png': no such file"),
            std::string::npos);
  EXPECT_NE(why({src, sal, 0}).find("does not fit"), std::string::npos);
  EXPECT_NE(why({src, "", 256}).find("larger than the display can draw"), std::string::npos);
}

}  // namespace
