// What a writer object holds: its queue, its captured lines and its worker
// thread, with the waits of flush and close, the stall limit that gives up
// on a stuck worker, resume, abandonment after fork, the counters, and the
// locks held across fork().
//
// Every handle is listed with the fork guard (fork_guard.h) for its whole
// life: around every fork() the forking thread holds all of its locks, so a
// child never inherits one held by a thread that did not come along, and
// in the child the worker, which stayed behind, is forgotten.
//
// Thread safety: every member may be called from any number of threads at
// once, except `abandon`, which is meant for a freshly forked child where
// no other thread uses the writer. Callers holding the interpreter lock
// release it around `flush`, `close` and `PendingFlush::wait`, which wait.
// Lock order: the queue mutex may be held while the handle mutex is taken,
// never the reverse; the captured-lines mutex is taken with them only by
// the fork guard, last. No lock of the writer is held across a sink call
// or while waiting for the interpreter lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/duration.h"
#include "core/base/fork_guard.h"
#include "core/base/monotonic.h"
#include "core/base/native_thread.h"
#include "core/worker/line_queue.h"
#include "core/worker/line_sink.h"
#include "core/worker/writer_worker.h"

namespace vorlisk {

// One snapshot of the counters, in the order `metrics()` reports them.
struct WriterMetrics {
  uint64_t enqueued = 0;
  uint64_t dropped = 0;
  uint64_t dequeued = 0;
  uint64_t written = 0;
  uint64_t sink_errors = 0;
  uint64_t depth = 0;
  uint64_t maxsize = 0;
  uint64_t in_flight = 0;
  bool closed = false;
  bool worker_done = false;
  bool paused = false;
};

class WriterHandle final : public ForkGuarded {
 public:
  explicit WriterHandle(WriterParts parts);
  WriterHandle(const WriterHandle&) = delete;
  WriterHandle& operator=(const WriterHandle&) = delete;
  // Closes and joins without limit, unless abandoned or inherited across
  // fork() (then only lets go).
  ~WriterHandle();

  // A flush whose target is set when it starts and which is waited for
  // later. Flushing several writers under one bound starts every flush
  // first: each one's stall limit then runs from that moment, not from
  // when its turn to be waited on comes. The writer must outlive it.
  class PendingFlush {
   public:
    PendingFlush(PendingFlush&& other) noexcept;
    PendingFlush(const PendingFlush&) = delete;
    PendingFlush& operator=(const PendingFlush&) = delete;
    PendingFlush& operator=(PendingFlush&&) = delete;
    ~PendingFlush();

    // Waits as `flush` does; 0, or the undrained count after a stall.
    // Once only.
    uint64_t wait();

   private:
    friend class WriterHandle;
    PendingFlush(WriterHandle& writer, std::optional<Duration> stall_limit);
    // Under the queue mutex: stops watching for progress.
    void unwatch();

    WriterHandle* writer_;
    std::optional<Duration> stall_limit_;
    uint64_t target_ = 0;
    StallStart start_;
    bool pending_ = false;   // the target was not yet flushed at the start
    bool watching_ = false;  // counted in the queue's stall watchers
  };

  // Sets the flush target (the lines enqueued so far) and, with a stall
  // limit, starts its clock.
  PendingFlush start_flush(const std::optional<Duration>& stall_limit);

  // Waits until every line enqueued before the call is written and the sink
  // flushed after it. `stall_limit` bounds a stretch in which no line
  // completes; when it runs out the worker is given up on and the number
  // of lines accepted but not finished is returned. Otherwise 0, also when
  // the worker has ended.
  uint64_t flush(const std::optional<Duration>& stall_limit) {
    return start_flush(stall_limit).wait();
  }

  // Closes the queue (blocked producers get "closed", a paused worker
  // drains), waits for the worker to end under the same stall rule, and
  // joins it. 0, or the undrained count after a stall. Returns 0 at once
  // after `abandon`.
  uint64_t close(const std::optional<Duration>& stall_limit);

  void resume();

  // For the copy a child inherits across fork(): its worker does not exist
  // there, so close and dropping must neither wait nor join. Touches no lock.
  void abandon() { abandoned_.store(true, std::memory_order_relaxed); }
  bool abandoned() const { return abandoned_.load(std::memory_order_relaxed); }
  // False in a child forked after the worker started: it does not exist there.
  bool spawned_here() const;

  WriterMetrics metrics() const;
  std::vector<std::string> messages() const { return captured_->snapshot(); }
  uint64_t maxsize() const { return queue_->maxsize; }
  LineQueue& queue() const { return *queue_; }

 private:
  // Every lock of the writer that a forked child can reach, held by the
  // thread that forks from just before fork() to just after it, on both
  // sides. Released in the reverse order of taking.
  struct ForkLocks {
    std::unique_lock<std::mutex> queue;
    std::unique_lock<std::mutex> handle;
    std::unique_lock<std::mutex> captured;
  };

  // The fork guard's hooks. Taking the locks waits only for bookkeeping,
  // never for a sink: nobody holds them across a sink call.
  void lock_for_fork() override;
  void unlock_after_fork_in_parent() override;
  // The worker is not in the child: with the locks still held, pushes are
  // refused as closed, flush and close return at once (see
  // LineQueue::forget_worker_after_fork), and the thread handle, whose id
  // names nothing here, is let go. The sink stays with the worker's body,
  // never run or dropped here; its descriptors were closed as the child
  // started (fork_local_fd.h).
  void unlock_after_fork_in_child() override;

  // Called with the queue mutex held: closes the queue for good, lets the
  // thread run on unobserved, and returns enqueued - completed.
  uint64_t abandon_stalled_writer();
  // Joins or detaches the worker's thread, or only forgets it in a child
  // forked after it started.
  void let_go_of(NativeThread& thread, bool join) const;
  // Waits on cond_progress until `done()` (checked under the lock), the
  // worker ends, or the stall limit runs out, counted from the last line
  // completed (or from `start`); the count from abandon_stalled_writer in
  // that last case, else 0. A wait with a stall limit must be counted in
  // the queue's stall watchers throughout.
  template <typename Done>
  uint64_t wait_for_progress(std::unique_lock<std::mutex>& lock,
                             const std::optional<Duration>& stall_limit, StallStart start,
                             Done&& done);

  std::shared_ptr<LineQueue> queue_;
  std::shared_ptr<CapturedLines> captured_;
  std::mutex handle_mutex_;
  std::optional<NativeThread> thread_;  // guarded by handle_mutex_
  std::atomic<bool> abandoned_{false};
  pid_t spawned_in_;  // the process that started the worker
  // Held by the forking thread across fork(); set in place, never allocated.
  std::optional<ForkLocks> fork_locks_;
  ForkGuardRegistration fork_registration_{this};
};

}  // namespace vorlisk
