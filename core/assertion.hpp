#pragma once
// The program-wide report for a failed internal check: it goes through
// OpenCV's error machinery (status cv::Error::StsInternal, -3) with the
// routine name, "Assertion: <expression> failed", the source name and the
// line, is printed on standard error, and the process ends with status 1.

namespace quadrix {

[[noreturn]] void AssertionFailed(const char* func, const char* expr, const char* file, int line);

}  // namespace quadrix

// Checks `cond`; on failure reports `exprText` (the expression as the report
// shows it) for routine `func` in source `file` at `line`.
#define QX_ASSERT_AT(func, file, line, cond, exprText)                           \
  do {                                                                           \
    if (!(cond)) ::quadrix::AssertionFailed((func), (exprText), (file), (line)); \
  } while (0)

// Same, with the expression text taken from the code and the current line.
#define QX_ASSERT(func, file, cond) QX_ASSERT_AT(func, file, __LINE__, cond, #cond)
