#include "core/assertion.hpp"

#include <cstdio>
#include <string>

namespace quadrix {

void AssertionFailed(const char* func, const char* expr, const char* file, int line) {
  const std::string msg = std::string("Assertion: ") + expr + " failed";
  throw AssertionError(cv::Exception(cv::Error::StsInternal, msg, func, file, line));
}

void ReportAssertion(const cv::Exception& e) {
  std::fflush(stdout);
  std::fputs(e.what(), stderr);
  const std::string text = e.what();
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace quadrix
