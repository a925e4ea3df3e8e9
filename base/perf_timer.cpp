#include "base/perf_timer.hpp"

#include <cstdio>
#include <mutex>
#include <sstream>

namespace quadrix {

std::atomic<bool> printTimings{false};

namespace {
thread_local std::string diagnosticPrefix;
std::mutex outputMutex;
}  // namespace

void PrintDiagnostic(const std::string& line) {
  const std::string whole = diagnosticPrefix + line + "\n";
  const std::lock_guard<std::mutex> lock(outputMutex);
  std::fwrite(whole.data(), 1, whole.size(), stdout);
  std::fflush(stdout);
}

void SetDiagnosticPrefix(std::string prefix) { diagnosticPrefix = std::move(prefix); }

void PerfTimer::Start(const char* label) {
  if (!printTimings) return;
  label_ = label;
  start_ = Clock::now();
}

void PerfTimer::Stop() {
  if (!printTimings) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  std::ostringstream line;
  line << label_ << " time used " << seconds << "s";
  PrintDiagnostic(line.str());
}

}  // namespace quadrix
