#pragma once
// Work the user may call off. A task that runs off the GUI thread makes its
// flag the thread's own (CancelScope); long loops, the image readers' rows
// and scans among them, call CancellationPoint, which throws Cancelled once
// the flag is set. Code run without a scope is never cancelled.

#include <atomic>

#include "base/errors.hpp"

namespace quadrix {

class Cancelled : public Error {
 public:
  Cancelled() : Error(ErrorKind::kCancelled, "cancelled") {}
};

// Makes `flag` the calling thread's cancellation flag for the scope's life
// (the one before comes back after). `flag` must outlive the scope.
class CancelScope {
 public:
  explicit CancelScope(const std::atomic<bool>& flag);
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

// The calling thread's task has been cancelled: for loops in C libraries'
// callbacks, which must leave through the library's own error path.
bool CancelRequested();

// Throws Cancelled when the calling thread's task has been cancelled.
inline void CancellationPoint() {
  if (CancelRequested()) throw Cancelled();
}

}  // namespace quadrix
