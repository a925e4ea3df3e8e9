#pragma once
// The harness of the desktop program's tests: a virtual X server (Xvfb, no
// window manager), the program driven with xdotool, its drawing area
// captured with ImageMagick's import, and pictures that quadrix-cli -o draws
// to compare with.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shell/launch.hpp"
#include "test_support.hpp"

namespace guitest {

namespace fs = std::filesystem;
using testsupport::Quote;
using testsupport::TempDir;

using Clock = std::chrono::steady_clock;

// Generous: a sanitizer build runs the solve and the drawing several times
// slower, and a passing wait returns as soon as the picture is there.
constexpr double kWaitSeconds = 30.0;

// Mean absolute difference per channel, in 8-bit levels, allowed between the
// window's picture and the command line's. Both draw with the same renderer
// and effect, but the window's GLX context and the command line's EGL
// context may round a few triangle-edge pixels differently (measured: under
// 0.1). Every change the tests look for (another size, the uniform grid, the
// grid lines, the importance image) differs by 15 or more.
constexpr double kPictureTolerance = 1.0;

inline void Sleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline std::string Sample() { return testsupport::SamplePath(); }

// Standard output of a command line; empty when it failed.
inline std::string Output(const std::string& commandLine) {
  const auto r = testsupport::Run(commandLine);
  return r.status == 0 ? r.out : std::string();
}

inline double MeanAbsDiff(const cv::Mat& a, const cv::Mat& b) {
  if (a.empty() || b.empty() || a.size() != b.size() || a.type() != b.type()) return 1e9;
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  const cv::Scalar s = cv::mean(diff);
  return (s[0] + s[1] + s[2]) / 3.0;
}

// One virtual X server for the test, with GLX, on a display number it
// chooses itself so that tests may run side by side.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const std::string& screen = "2400x1600x24") {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // gone with the test, however it ends
      ::close(fds[0]);
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      const std::string fd = std::to_string(fds[1]);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", "-noreset", "+extension", "GLX", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 20000) > 0) {
      char c = 0;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // Empty when the server could not be started.
  const std::string& name() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// A running `quadrix`, killed if a test leaves it running.
class App {
 public:
  explicit App(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    const std::string log = dir_ / "log";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(QUADRIX_APP_PATH));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(QUADRIX_APP_PATH, argv.data());
      ::_exit(127);
    }
  }
  ~App() {
    if (running()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !status_; }

  // The exit status once the process has ended within `seconds`; -1 when a
  // signal ended it.
  std::optional<int> WaitExit(double seconds = kWaitSeconds) {
    const auto start = Clock::now();
    while (!status_) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        break;
      }
      if (SecondsSince(start) > seconds) break;
      Sleep(0.05);
    }
    return status_;
  }

  std::string Log() const { return testsupport::ReadFile(dir_ / "log"); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The title of window `id` as the window manager shows it (UTF-8; xdotool's
// search sees only the Latin-1 name, which GTK leaves plain in a C locale).
inline std::string TitleOf(const std::string& id) {
  std::string title = Output("xdotool getwindowname " + id);
  while (!title.empty() && title.back() == '\n') title.pop_back();
  return title;
}

struct Geometry {
  std::string id;
  int width = 0;
  int height = 0;
};

// Runs xdotool with `args`; its output.
inline std::string Xdotool(const std::string& args) { return Output("xdotool " + args); }

// The visible window of `pid` titled exactly `title`, as soon as there is
// one; empty when none appeared within `seconds`.
inline std::string FindWindow(pid_t pid, const std::string& title, double seconds = kWaitSeconds) {
  const auto start = Clock::now();
  do {
    std::istringstream ids(Xdotool("search --all --onlyvisible --pid " + std::to_string(pid) +
                                   " --name " + Quote("^" + title + "$")));
    std::string id;
    if (ids >> id) return id;
    Sleep(0.1);
  } while (SecondsSince(start) < seconds);
  return {};
}

inline Geometry WindowGeometry(const std::string& id) {
  Geometry g{id};
  std::istringstream lines(Output("xwininfo -id " + id));
  for (std::string line; std::getline(lines, line);) {
    std::sscanf(line.c_str(), " Width: %d", &g.width);
    std::sscanf(line.c_str(), " Height: %d", &g.height);
  }
  return g;
}

inline bool Viewable(const std::string& id) {
  return Output("xwininfo -id " + id).find("Map State: IsViewable") != std::string::npos;
}

// The drawing area: the frame's largest child X window that is shown (the
// OpenGL window is the only sizeable native child; GTK keeps a 1 x 1 helper
// beside it; without a photo the OpenGL window is hidden). Child lines read
// like "     0x20000a (has no name): ()  860x600+0+25  +0+25".
inline Geometry DrawingArea(const std::string& frame) {
  Geometry best;
  std::istringstream lines(Output("xwininfo -children -id " + frame));
  for (std::string line; std::getline(lines, line);) {
    const size_t id = line.find("0x");
    const size_t paren = line.rfind(')');
    if (id == std::string::npos || paren == std::string::npos || paren < id) continue;
    int w = 0;
    int h = 0;
    if (std::sscanf(line.c_str() + paren + 1, " %dx%d", &w, &h) != 2) continue;
    const std::string child = line.substr(id, line.find(' ', id) - id);
    if (w * h > best.width * best.height && Viewable(child)) best = {child, w, h};
  }
  return best;
}

inline cv::Mat Capture(const std::string& id) {
  TempDir tmp;
  const std::string path = tmp / "capture.png";
  if (testsupport::Run("import -window " + id + " png:" + Quote(path)).status != 0) return {};
  return cv::imread(path, cv::IMREAD_COLOR);
}

// Waits until the drawing area of `frame` shows `expected` (within
// `tolerance`); returns the last difference seen.
inline double WaitForPicture(const std::string& frame, const cv::Mat& expected,
                             double tolerance = kPictureTolerance) {
  const auto start = Clock::now();
  double diff = 1e9;
  do {
    const Geometry area = DrawingArea(frame);
    if (area.width == expected.cols && area.height == expected.rows) {
      diff = MeanAbsDiff(Capture(area.id), expected);
      if (diff <= tolerance) return diff;
    }
    Sleep(0.1);
  } while (SecondsSince(start) < kWaitSeconds);
  return diff;
}

inline void Keys(const std::string& window, const std::string& keys) {
  Xdotool("windowfocus --sync " + window + " key --clearmodifiers " + keys);
}

// Pictures that quadrix-cli draws of `src` (mode 1) at the given sizes with
// the given switches, by size.
class Reference {
 public:
  Reference(const std::string& options, const std::vector<cv::Size>& sizes,
            const std::string& src = Sample()) {
    std::string cmd = std::string(QUADRIX_CLI_PATH) + " " + options;
    for (const cv::Size& s : sizes)
      cmd += " --size " + std::to_string(s.width) + "x" + std::to_string(s.height);
    cmd += " -o " + Quote(dir_ / "{w}x{h}.png") + " 1 " + Quote(src);
    const auto r = testsupport::Run(cmd);
    EXPECT_EQ(r.status, 0) << cmd << "\n" << r.err;
  }
  cv::Mat operator()(cv::Size s) const {
    return cv::imread(dir_ / (std::to_string(s.width) + "x" + std::to_string(s.height) + ".png"));
  }

 private:
  TempDir dir_;
};

inline const cv::Size kSource(868, 600);   // the sample, as the window opens it
inline const cv::Size kAligned(860, 600);  // the sample aligned to whole quads of 20

class Gui : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartDisplay("2400x1600x24"); }
  static void StartDisplay(const std::string& screen) {
    display_ = std::make_unique<VirtualDisplay>(screen);
    if (!display_->name().empty()) {
      ::setenv("DISPLAY", display_->name().c_str(), 1);
      // Quiet GTK's complaints about the missing session bus.
      ::setenv("GSETTINGS_BACKEND", "memory", 1);
      ::setenv("NO_AT_BRIDGE", "1", 1);
    }
    // The program keeps its settings and recent files in the user's home:
    // the tests' own, not the user's.
    home_ = std::make_unique<TempDir>();
    ::setenv("HOME", home_->path().c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    // A sanitizer build of the program reports only its own leaks.
    const std::string supp = "suppressions=" QUADRIX_SOURCE_DIR "/tests/lsan.supp";
    const char* old = std::getenv("LSAN_OPTIONS");
    ::setenv("LSAN_OPTIONS", (old != nullptr ? std::string(old) + ":" + supp : supp).c_str(), 1);
  }
  static void TearDownTestSuite() {
    display_.reset();
    home_.reset();
  }
  void SetUp() override {
    ASSERT_FALSE(display_->name().empty()) << "Xvfb could not be started (is it installed?)";
    for (const char* tool : {"xdotool", "xwininfo", "import"})
      ASSERT_EQ(testsupport::Run(std::string("command -v ") + tool).status, 0)
          << tool << " is missing";
  }

  // The main window's title: "Quadrix", or "NAME — W×H — Quadrix" with a
  // photo (a regular expression).
  static constexpr char kFrameTitle[] = "(.* — [0-9]+×[0-9]+ — )?Quadrix";

  // The program's main window, once it is there.
  static std::string WaitForFrame(App& app) {
    const std::string frame = FindWindow(app.pid(), kFrameTitle);
    EXPECT_FALSE(frame.empty()) << app.Log();
    return frame;
  }

  // The main window once it shows a photo in a drawing area of `area`.
  static std::string WaitForPhoto(App& app, cv::Size area = kSource) {
    const std::string frame = WaitForFrame(app);
    if (frame.empty()) return frame;
    const auto start = Clock::now();
    for (;;) {
      const Geometry g = DrawingArea(frame);
      if (cv::Size(g.width, g.height) == area) return frame;
      if (SecondsSince(start) > kWaitSeconds) break;
      Sleep(0.1);
    }
    ADD_FAILURE() << "no drawing area of " << area.width << "x" << area.height << "\n" << app.Log();
    return {};
  }

  // Resizes the frame so that its drawing area becomes `size`.
  static void ResizeDrawingArea(const std::string& frame, cv::Size size) {
    const Geometry outer = WindowGeometry(frame);
    const Geometry area = DrawingArea(frame);
    Xdotool("windowsize --sync " + frame + " " +
            std::to_string(size.width + outer.width - area.width) + " " +
            std::to_string(size.height + outer.height - area.height));
  }

  static inline std::unique_ptr<VirtualDisplay> display_;
  static inline std::unique_ptr<TempDir> home_;
};

// File > Save Picture… typed into, and the file once it is there.
inline cv::Mat SavePicture(App& app, const std::string& frame, const std::string& path) {
  Keys(frame, "ctrl+s");
  const std::string dialog = FindWindow(app.pid(), "Save Picture");
  EXPECT_FALSE(dialog.empty()) << app.Log();
  if (dialog.empty()) return {};
  Keys(dialog, "ctrl+a");
  Xdotool("type --delay 2 " + Quote(path));
  Keys(dialog, "Return");
  const auto start = Clock::now();
  while (!fs::exists(path) && SecondsSince(start) < kWaitSeconds) Sleep(0.1);
  EXPECT_TRUE(fs::exists(path)) << app.Log();
  Sleep(0.2);  // written under another name and renamed: complete once there
  return cv::imread(path, cv::IMREAD_COLOR);
}

// File > Open… typed into.
// On a loaded machine the dialog can take the first keys before its
// location entry is up, and the path goes astray: the dialog then stays
// open, and is closed and tried once more.
inline void OpenPhoto(App& app, const std::string& frame, const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    Keys(frame, "ctrl+o");
    const std::string dialog = FindWindow(app.pid(), "Open Image");
    ASSERT_FALSE(dialog.empty()) << app.Log();
    Keys(dialog, "ctrl+l");
    Sleep(0.3);
    Xdotool("type --delay 2 " + Quote(path));
    Keys(dialog, "Return");
    const auto start = Clock::now();
    while (Viewable(dialog) && SecondsSince(start) < 10.0) Sleep(0.1);
    if (!Viewable(dialog)) return;
    Keys(dialog, "Escape");
    Sleep(0.3);
    if (Viewable(dialog)) Keys(dialog, "Escape");
    Sleep(0.5);
  }
  ADD_FAILURE() << "the open dialog did not take " << path << "\n" << app.Log();
}

// A stroke of the left button through `points` of the drawing area.
inline void Stroke(const Geometry& area, const std::vector<cv::Point>& points) {
  std::string steps = "mousemove --window " + area.id + " " + std::to_string(points[0].x) + " " +
                      std::to_string(points[0].y) + " mousedown 1";
  for (const cv::Point& p : points)
    steps += " mousemove --window " + area.id + " " + std::to_string(p.x) + " " +
             std::to_string(p.y) + " sleep 0.03";
  Xdotool(steps + " mouseup 1");
}

// A file dialog of the program titled `title`, typed into.
inline void FileDialog(App& app, const std::string& title, const std::string& path) {
  const std::string dialog = FindWindow(app.pid(), title);
  ASSERT_FALSE(dialog.empty()) << title << "\n" << app.Log();
  Keys(dialog, "ctrl+a");
  Xdotool("type --delay 2 " + Quote(path));
  Keys(dialog, "Return");
}

}  // namespace guitest
