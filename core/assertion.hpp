#pragma once
// The program-wide report for a failed internal check: an OpenCV error with
// status cv::Error::StsInternal (-3), the routine name, "Assertion:
// <expression> failed", the source name and the line. Library code throws it
// as AssertionError; the programs print the report on standard error and end
// with status 1 (ReportAssertion).

#include <opencv2/core.hpp>

namespace quadrix {

class AssertionError : public cv::Exception {
 public:
  explicit AssertionError(const cv::Exception& report) : cv::Exception(report) {}
};

// Throws AssertionError.
[[noreturn]] void AssertionFailed(const char* func, const char* expr, const char* file, int line);

// Prints the report on standard error, one line, as the programs do before
// they end with status 1.
void ReportAssertion(const cv::Exception& e);

}  // namespace quadrix

// Checks `cond`; on failure reports `exprText` (the expression as the report
// shows it) for routine `func` in source `file` at `line`.
#define QX_ASSERT_AT(func, file, line, cond, exprText)                           \
  do {                                                                           \
    if (!(cond)) ::quadrix::AssertionFailed((func), (exprText), (file), (line)); \
  } while (0)

// Same, with the expression text taken from the code and the current line.
#define QX_ASSERT(func, file, cond) QX_ASSERT_AT(func, file, __LINE__, cond, #cond)
