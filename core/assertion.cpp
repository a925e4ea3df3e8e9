#include "core/assertion.hpp"

#include <cstdio>
#include <cstdlib>
#include <opencv2/core.hpp>
#include <string>

namespace quadrix {

void AssertionFailed(const char* func, const char* expr, const char* file, int line) {
  const std::string msg = std::string("Assertion: ") + expr + " failed";
  try {
    cv::error(cv::Error::StsInternal, msg, func, file, line);
  } catch (const cv::Exception& e) {
    std::fputs(e.what(), stderr);
    if (!e.msg.empty() && e.msg.back() != '\n') std::fputc('\n', stderr);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(1);
}

}  // namespace quadrix
