#pragma once
// Diagnostic stopwatch: one timed stretch, printed on standard output as
// "<label> time used <seconds>s" when the process-wide switch is on.

#include <chrono>
#include <string>

namespace quadrix {

// Off at start; only the command-line tool's --timings switches it on.
extern bool printTimings;

class PerfTimer {
 public:
  void Start(const char* label);
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point start_;
  std::string label_;
};

}  // namespace quadrix
