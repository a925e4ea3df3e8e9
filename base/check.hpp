#pragma once
// Failed internal checks. QX_CHECK(cond) throws AssertionError when `cond`
// is false; the report has OpenCV's error layout with status
// cv::Error::StsInternal (-3): "<file>:<line>: error: (-3:Internal error)
// Assertion: <cond> failed in function '<function>'", naming the check's own
// file (from the project's root), line, function and expression. The
// programs print it on standard error and end with status 1.

#include <opencv2/core.hpp>
#include <source_location>

#include "base/errors.hpp"

namespace quadrix {

class AssertionError : public Error {
 public:
  explicit AssertionError(const cv::Exception& report)
      : Error(ErrorKind::kInternal, report.what()), report_(report) {}
  // The report's parts: err ("Assertion: ... failed"), func, file, line.
  const cv::Exception& report() const { return report_; }

 private:
  cv::Exception report_;
};

// Throws AssertionError for the expression text `expr` checked at `where`.
[[noreturn]] void CheckFailed(const char* expr,
                              const std::source_location& where = std::source_location::current());

// The same with the parts given: routine `func`, source `file`, `line`.
[[noreturn]] void AssertionFailed(const char* func, const char* expr, const char* file, int line);

// "Ns::Class::Method" from a compiler's function signature (return type,
// namespace quadrix and parameters dropped).
std::string RoutineName(const char* signature);

// Prints a report on standard error, one line, as the programs do before
// they end with status 1.
void ReportAssertion(const std::exception& e);

}  // namespace quadrix

#define QX_CHECK(cond)                          \
  do {                                          \
    if (!(cond)) ::quadrix::CheckFailed(#cond); \
  } while (0)
