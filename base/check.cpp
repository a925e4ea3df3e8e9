#include "base/check.hpp"

#include <cstdio>
#include <string>
#include <string_view>

namespace quadrix {

void CheckFailed(const char* expr, const std::source_location& where) {
  AssertionFailed(RoutineName(where.function_name()).c_str(), expr, where.file_name(),
                  static_cast<int>(where.line()));
}

void AssertionFailed(const char* func, const char* expr, const char* file, int line) {
  const std::string msg = std::string("Assertion: ") + expr + " failed";
  throw AssertionError(cv::Exception(cv::Error::StsInternal, msg, func, file, line));
}

std::string RoutineName(const char* signature) {
  std::string_view s(signature);
  // Cut the parameter list at the first parenthesis outside template brackets.
  int depth = 0;
  size_t end = s.size();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '<') ++depth;
    if (s[i] == '>') --depth;
    if (s[i] == '(' && depth == 0) {
      end = i;
      break;
    }
  }
  s = s.substr(0, end);
  // The name starts after the last space outside template brackets.
  depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '<') ++depth;
    if (s[i] == '>') --depth;
    if (s[i] == ' ' && depth == 0) start = i + 1;
  }
  s.remove_prefix(start);
  constexpr std::string_view kNamespace = "quadrix::";
  if (s.starts_with(kNamespace)) s.remove_prefix(kNamespace.size());
  return std::string(s);
}

void ReportAssertion(const std::exception& e) {
  std::fflush(stdout);
  std::fputs(e.what(), stderr);
  const std::string text = e.what();
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace quadrix
