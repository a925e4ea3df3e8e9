#pragma once
// Diagnostic lines on standard output: the stopwatch ("<label> time used
// <seconds>s", when the process-wide switch is on) and the core's sizes.
// Each line is written whole, so that lines of hosts on several threads do
// not run into each other.

#include <atomic>
#include <chrono>
#include <string>

namespace quadrix {

// Off at start; quadrix-cli's --timings and --verbose switch it on.
extern std::atomic<bool> printTimings;

// Writes `line` and a line end on standard output in one piece, after this
// thread's prefix.
void PrintDiagnostic(const std::string& line);

// What the diagnostic lines of the calling thread begin with (say, the name
// of the photo it works on); empty at start.
void SetDiagnosticPrefix(std::string prefix);

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
