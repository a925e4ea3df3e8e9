#pragma once
// Shared helpers of the tests: temporary directories, sample images and
// running the command-line tool as a child process.

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/check.hpp"

namespace testsupport {

// A directory removed with everything in it when the object goes away.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quadrix-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string SamplePath() { return std::string(QUADRIX_SOURCE_DIR) + "/data/building.jpg"; }

// The sample photo (868 x 600), optionally resized.
inline cv::Mat Sample(cv::Size size = {}) {
  cv::Mat img = cv::imread(SamplePath(), cv::IMREAD_COLOR);
  if (img.empty()) std::abort();
  if (size.area() > 0) cv::resize(img, img, size, 0, 0, cv::INTER_AREA);
  return img;
}

// The sample photo cut out as a disc (radius 110 at the middle of 400 x
// 300) on a transparent background: CV_8UC4, straight alpha.
inline cv::Mat CutOutDisc() {
  const cv::Mat photo = Sample({400, 300});
  cv::Mat mask(300, 400, CV_8UC1, cv::Scalar(0));
  cv::circle(mask, {200, 150}, 110, cv::Scalar(255), cv::FILLED);
  std::vector<cv::Mat> planes;
  cv::split(photo, planes);
  planes.push_back(mask);
  cv::Mat bgra;
  cv::merge(planes, bgra);
  return bgra;
}

// An 8-bit importance image: a horizontal ramp with a bright disc.
inline cv::Mat ImportanceImage(cv::Size size) {
  cv::Mat sal(size, CV_8UC1);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x)
      sal.at<uchar>(y, x) = static_cast<uchar>(60 + 120 * x / std::max(1, size.width - 1));
  cv::circle(sal, {size.width / 3, size.height / 2}, std::min(size.width, size.height) / 4,
             cv::Scalar(250), cv::FILLED);
  return sal;
}

// The report of the failed internal check that `f` throws, or "none".
template <class F>
std::string AssertionReport(F&& f) {
  try {
    f();
  } catch (const quadrix::AssertionError& e) {
    return e.what();
  }
  return "none";
}

// Whether `text` holds a match of the ECMAScript regular expression.
inline bool Contains(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern));
}

struct CommandResult {
  int status = -1;  // exit status, or -1 when killed by a signal
  std::string out;
  std::string err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs a shell command line, capturing both output streams.
inline CommandResult Run(const std::string& commandLine) {
  TempDir tmp;
  const std::string out = tmp / "out";
  const std::string err = tmp / "err";
  const int raw = std::system((commandLine + " >" + out + " 2>" + err).c_str());
  CommandResult r;
  if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  return r;
}

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline void PutLittleEndian(std::vector<unsigned char>& out, std::uint32_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) out.push_back(static_cast<unsigned char>(v >> (8 * k)));
}

// A run-length BMP of `width` x `height` whose data ends at once: a file of
// a few hundred bytes that stands for width x height pixels.
inline void WriteRleBomb(const std::string& path, int width, int height, int bits) {
  const int colours = 1 << bits;
  const std::vector<unsigned char> data = {10, 0, 0, 0, 0, 1};  // a run, end of line, of bitmap
  const std::uint32_t offset = 14 + 40 + 4 * colours;
  std::vector<unsigned char> f = {'B', 'M'};
  PutLittleEndian(f, offset + static_cast<std::uint32_t>(data.size()), 4);
  PutLittleEndian(f, 0, 4);
  PutLittleEndian(f, offset, 4);
  PutLittleEndian(f, 40, 4);
  PutLittleEndian(f, static_cast<std::uint32_t>(width), 4);
  PutLittleEndian(f, static_cast<std::uint32_t>(height), 4);
  PutLittleEndian(f, 1, 2);
  PutLittleEndian(f, static_cast<std::uint32_t>(bits), 2);
  PutLittleEndian(f, bits == 8 ? 1 : 2, 4);  // BI_RLE8, BI_RLE4
  PutLittleEndian(f, static_cast<std::uint32_t>(data.size()), 4);
  PutLittleEndian(f, 2835, 4);
  PutLittleEndian(f, 2835, 4);
  PutLittleEndian(f, static_cast<std::uint32_t>(colours), 4);
  PutLittleEndian(f, 0, 4);
  for (int c = 0; c < colours; ++c)
    PutLittleEndian(f, 0x00406080u + static_cast<std::uint32_t>(c), 4);
  f.insert(f.end(), data.begin(), data.end());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
}

}  // namespace testsupport
