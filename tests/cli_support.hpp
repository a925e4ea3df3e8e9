#pragma once
// Helpers of the quadrix-cli tests: running the tool and a small photo to
// run it on.

#include <opencv2/core.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace clisupport {

inline testsupport::CommandResult Cli(const std::string& args) {
  return testsupport::Run(std::string(QUADRIX_CLI_PATH) + " " + args);
}

// One test directory with a small source photo and its importance image.
struct Inputs {
  testsupport::TempDir dir;
  std::string src = dir / "src.png";
  std::string sal = dir / "sal.png";
  Inputs() {
    cv::imwrite(src, testsupport::Sample({300, 200}));
    cv::imwrite(sal, testsupport::ImportanceImage({300, 200}));
  }
  std::string Args() const { return testsupport::Quote(src) + " " + testsupport::Quote(sal); }
  // Something to write: a run without an output is a usage error.
  std::string Mesh() const { return "--mesh " + testsupport::Quote(dir / "mesh_{w}x{h}.csv"); }
};

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string l; std::getline(ss, l);) out.push_back(l);
  return out;
}

inline double MeanAbsDiff(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat d;
  cv::absdiff(a, b, d);
  const cv::Scalar m = cv::mean(d);
  return (m[0] + m[1] + m[2]) / 3.0;
}

}  // namespace clisupport
