#include "core/perf_timer.hpp"

#include <iostream>

namespace quadrix {

bool printTimings = false;

void PerfTimer::Start(const char* label) {
  if (!printTimings) return;
  label_ = label;
  start_ = Clock::now();
}

void PerfTimer::Stop() {
  if (!printTimings) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  std::cout << label_ << " time used " << seconds << "s" << std::endl;
}

}  // namespace quadrix
