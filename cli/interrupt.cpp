#include "cli/interrupt.hpp"

#include <signal.h>

#include <atomic>

namespace quadrix {

namespace {

std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written from a signal handler");
struct sigaction oldInt {};
struct sigaction oldTerm {};

void OnSignal(int signal) {
  if (received.exchange(signal) != 0) {
    // Asked twice: stop now, as without the batch.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
}

}  // namespace

BatchInterrupt::BatchInterrupt() {
  received = 0;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);
}

BatchInterrupt::~BatchInterrupt() {
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
}

int BatchInterrupt::Signal() { return received.load(); }

}  // namespace quadrix
