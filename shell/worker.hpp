#pragma once
// Work off the GUI thread: one job at a time on a thread of its own, whose
// results reach the GUI thread through a poster (the toolkit's CallAfter).
// Starting a job cancels the one before; jobs still run one after the
// other (a new thread first waits for its predecessor), so two never
// compete for the machine or the outside engine, and the GUI thread never
// waits for either. Nothing here needs the toolkit.

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace quadrix {

class BackgroundWork {
 public:
  // Runs a function on the GUI thread, some time later; callable from any
  // thread.
  using Poster = std::function<void(std::function<void()>)>;

  // What a running job sees of itself.
  class Job {
   public:
    // Polled between steps: a cancelled job should return soon.
    bool Cancelled() const { return token_->load(); }
    // Runs `fn` on the GUI thread, unless the job is cancelled by then.
    void Post(std::function<void()> fn) const;
    // Runs `fn` on the GUI thread in any case, telling it whether the job
    // was cancelled by then: for results that must be given back there.
    void Deliver(std::function<void(bool cancelled)> fn) const;

   private:
    friend class BackgroundWork;
    Job(std::shared_ptr<std::atomic<bool>> token, const Poster& poster)
        : token_(std::move(token)), poster_(poster) {}
    std::shared_ptr<std::atomic<bool>> token_;
    const Poster& poster_;
  };

  explicit BackgroundWork(Poster poster);
  // Cancels the running job and waits for every thread to end.
  ~BackgroundWork();
  BackgroundWork(const BackgroundWork&) = delete;
  BackgroundWork& operator=(const BackgroundWork&) = delete;

  // Cancels the running job, if any, and starts `job` once it has ended.
  // The job runs at a slightly lower priority than the GUI thread, with
  // its token as the thread's cancellation flag (base/cancel.hpp): a
  // Cancelled thrown once it is cancelled ends it quietly.
  void Start(std::function<void(const Job&)> job);
  // From the GUI thread: after this returns no function posted by the
  // running job runs any more.
  void Cancel();
  // A job was started and has not been cancelled (it may have finished).
  bool Current() const { return token_ && !token_->load(); }

 private:
  Poster poster_;
  std::shared_ptr<std::atomic<bool>> token_;
  std::thread last_;
};

}  // namespace quadrix
