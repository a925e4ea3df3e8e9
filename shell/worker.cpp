#include "shell/worker.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/cancel.hpp"

namespace quadrix {

namespace {

// On Linux a nice value is per thread. A little below the GUI thread: on a
// busy machine the window's events come first.
void LowerThisThreadsPriority() {
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, tid, 4);
}

}  // namespace

void BackgroundWork::Job::Post(std::function<void()> fn) const {
  poster_([token = token_, fn = std::move(fn)] {
    if (!token->load()) fn();
  });
}

void BackgroundWork::Job::Deliver(std::function<void(bool)> fn) const {
  poster_([token = token_, fn = std::move(fn)] { fn(token->load()); });
}

BackgroundWork::BackgroundWork(Poster poster) : poster_(std::move(poster)) {}

BackgroundWork::~BackgroundWork() {
  Cancel();
  if (last_.joinable()) last_.join();
}

void BackgroundWork::Start(std::function<void(const Job&)> job) {
  Cancel();
  token_ = std::make_shared<std::atomic<bool>>(false);
  last_ = std::thread(
      [this, previous = std::move(last_), token = token_, job = std::move(job)]() mutable {
        if (previous.joinable()) previous.join();
        if (token->load()) return;
        LowerThisThreadsPriority();
        // The readers and the analysis stop at their cancellation points
        // once the job is cancelled.
        const CancelScope scope(*token);
        try {
          job(Job(token, poster_));
        } catch (const Cancelled&) {
        }
      });
}

void BackgroundWork::Cancel() {
  if (token_) token_->store(true);
}

}  // namespace quadrix
