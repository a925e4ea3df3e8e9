// A batch interrupted by SIGINT or SIGTERM at any moment: it says how far
// it got, ends with 128 + the signal, and leaves only complete pictures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <string>
#include <thread>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;

struct Ended {
  int status = -1;  // exit status; -1 when a signal ended the process
  std::string err;
};

// quadrix-cli with `args`, sent `signal` after `delay` seconds (unless it
// has ended by then).
Ended RunInterrupted(const std::vector<std::string>& args, int signal, double delay,
                     const std::string& errPath) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(QUADRIX_CLI_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(QUADRIX_CLI_PATH, argv.data());
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(delay));
  ::kill(pid, signal);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, testsupport::ReadFile(errPath)};
}

TEST(CliInterrupt, ABatchStopsCleanlyWhateverMomentTheSignalComes) {
  TempDir dir;
  std::vector<std::string> args = {
      "--batch", "-j", "2", "--size", "300x300", "-o", dir / "out/{name}.bmp", "1"};
  constexpr int kPhotos = 6;
  for (int i = 0; i < kPhotos; ++i) {
    const std::string src = dir / (std::to_string(i) + "_photo.jpg");
    cv::imwrite(src, testsupport::Sample({400, 280}));
    args.push_back(src);
  }
  std::mt19937 random(7);
  std::uniform_real_distribution<double> moment(0.05, 0.9);
  int interrupted = 0;
  for (const int signal : {SIGINT, SIGTERM}) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      fs::remove_all(dir / "out");
      const Ended e = RunInterrupted(args, signal, moment(random), dir / "err");
      const std::string when = "signal " + std::to_string(signal) + ", attempt " +
                               std::to_string(attempt) + "\n" + e.err;
      int written = 0;
      if (fs::exists(dir / "out"))
        for (const auto& f : fs::directory_iterator(dir / "out")) {
          // Only finished pictures, under their own names.
          ASSERT_EQ(f.path().extension(), ".bmp") << f.path() << "\n" << when;
          ASSERT_FALSE(cv::imread(f.path().string()).empty()) << f.path() << "\n" << when;
          ++written;
        }
      if (e.status == 0) {
        EXPECT_EQ(written, kPhotos) << when;  // finished before the signal
        continue;
      }
      if (e.status == -1) {
        // Still starting (the batch had not begun): ended by the signal.
        EXPECT_EQ(written, 0) << when;
        continue;
      }
      ++interrupted;
      ASSERT_EQ(e.status, 128 + signal) << when;
      EXPECT_NE(e.err.find("interrupted: " + std::to_string(written) + " of " +
                           std::to_string(kPhotos) + " photos written"),
                std::string::npos)
          << when;
    }
  }
  EXPECT_GT(interrupted, 10) << "most signals came while the batch ran";
}

}  // namespace
