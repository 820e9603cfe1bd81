// The writer's line queue: a FIFO of owned lines that producers fill and the
// writer's single worker drains, together with every counter the writer
// reports and the conditions its waiters sleep on.
//
// Thread safety: every field of `LineQueueState` is guarded by `mutex`; the
// three condition variables are only ever used with it. Nobody holds `mutex`
// across a sink call or while waiting for the interpreter lock, so a thread
// that forks can always take it (see WriterHandle::lock_for_fork). `maxsize` never
// changes and may be read without the lock. No operation here calls into
// Python; the blocking push waits, so callers that hold the interpreter lock
// must release it around that call (see `enqueue_line_with_outcome`).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/monotonic.h"
#include "core/base/spare_line.h"
#include "core/worker/line_ring.h"

namespace vorlisk {

// The result of one push as the Python layer sees it.
enum class EnqueueOutcome : uint8_t { accepted = 0, full = 1, closed = 2 };

// "accepted", "full" or "closed".
const char* enqueue_outcome_name(EnqueueOutcome outcome);

struct LineQueueState {
  std::optional<uint64_t> pending_flush_target;  // `enqueued` a waiting flush needs done
  LineRing lines;                                // oldest first; its size is the depth
  uint64_t enqueued = 0;
  uint64_t dropped = 0;  // non-blocking pushes refused for a full queue
  uint64_t dequeued = 0;
  uint64_t written = 0;
  uint64_t sink_errors = 0;
  uint64_t completed = 0;  // lines whose sink write returned, good or bad
  // 1 while the worker holds taken lines (one, or a batch for a sink that
  // writes several at once), through their writes and the flush after
  // them; else 0. `dequeued` counts the lines it holds as taken.
  uint64_t in_flight = 0;
  uint64_t flushed_through = 0;
  bool closed = false;       // never cleared once set
  bool worker_done = false;  // never cleared once set
  bool paused = false;       // cleared only by resume
  // The worker sleeps on cond_work for a line it may take. Pushes wake it
  // only then: a busy or paused worker needs no wake-up (resume and close
  // wake it themselves), which spares a system call per line.
  bool worker_waiting_for_line = false;
  // Waits of flush and close with a stall limit. While there is one the
  // worker notes when `completed` last moved, so that a limit runs from
  // the last progress; otherwise it does not read the clock.
  uint32_t stall_watchers = 0;
  MonotonicInstant last_progress;
  // Written lines, emptied, that the worker hands back for producers to
  // render into (see spare_line.h); at most kMaxSpareLines, reserved up
  // front so that handing one back never allocates.
  std::vector<std::string> spare_lines;
};

inline constexpr size_t kMaxSpareLines = 64;

struct LineQueue {
  LineQueue(uint64_t maxsize, bool paused);
  LineQueue(const LineQueue&) = delete;
  LineQueue& operator=(const LineQueue&) = delete;

  // Room for one more line: unbounded (0) or below capacity.
  bool has_room() const { return maxsize == 0 || state.lines.size() < maxsize; }

  // In a child forked while this queue was in use, by the forking thread
  // holding `mutex`: the worker and every thread that waited here did not
  // come along. The queue is closed and the worker counted done, so pushes
  // return "closed" and flush and close do not wait for a worker that will
  // never run; the conditions are made new, since notifying one whose
  // waiters are gone may block for ever.
  void forget_worker_after_fork();

  // Wakes the worker for an event other than a line (resume, close, giving
  // up): under the mutex, after the state change.
  void wake_worker() {
    wake_epoch.fetch_add(1, std::memory_order_release);
    cond_work.notify_all();
  }

  const uint64_t maxsize;  // 0 = unbounded
  // Bumped by every event the worker waits for (a line, resume, close), so
  // that a worker watching for work without the mutex sees it.
  alignas(64) std::atomic<uint64_t> wake_epoch{0};
  alignas(64) std::mutex mutex;
  std::condition_variable cond_work;      // the worker: a line, resume or close
  std::condition_variable cond_progress;  // flush and close: the worker moved on
  std::condition_variable cond_space;     // blocked producers: a slot freed
  LineQueueState state;
};

// What became of a push. Whenever the line is not accepted it is left
// untouched in the caller's string ("handed back"); an accepted line is
// replaced there by a spare buffer when the queue holds one, else by an
// empty string.
enum class PushStatus : uint8_t { accepted, full, closed };

// Never waits. A full queue counts a drop.
PushStatus line_queue_try_push(LineQueue& queue, std::string& line);

// Never waits and never counts a drop; a full queue and a closed one are
// both reported as `full` (the caller does not tell them apart).
PushStatus line_queue_push_no_drop(LineQueue& queue, std::string& line);

// Waits for room; returns `accepted`, or `closed` once the queue is closed
// (also when close arrives while it waits). Never `full`.
PushStatus line_queue_push_blocking(LineQueue& queue, std::string& line);

// The push every enqueueing entry point shares. Non-blocking: a full queue
// drops the line. Blocking: one attempt without waiting, and only when that
// finds no room, `run_unlocked(wait)` is asked to run the blocking push with
// the caller's interpreter lock released. A blocking push never yields
// `full` and never counts a drop. The line is consumed either way; the
// buffer left in the caller's hands (a spare the push got back, or the
// refused line) becomes the calling thread's spare.
template <typename RunUnlocked>
EnqueueOutcome enqueue_line_with_outcome(LineQueue& queue, std::string line, bool blocking,
                                         RunUnlocked&& run_unlocked) {
  struct KeepSpare {
    std::string& line;
    ~KeepSpare() { keep_spare_line(std::move(line)); }
  } keep{line};
  if (!blocking) {
    const PushStatus status = line_queue_try_push(queue, line);
    if (status == PushStatus::accepted) return EnqueueOutcome::accepted;
    return status == PushStatus::full ? EnqueueOutcome::full : EnqueueOutcome::closed;
  }
  if (line_queue_push_no_drop(queue, line) == PushStatus::accepted) {
    return EnqueueOutcome::accepted;
  }
  PushStatus status = PushStatus::closed;
  run_unlocked([&] { status = line_queue_push_blocking(queue, line); });
  return status == PushStatus::accepted ? EnqueueOutcome::accepted : EnqueueOutcome::closed;
}

// For callers that hold no interpreter lock (the core's own tests and tools).
inline EnqueueOutcome enqueue_line_with_outcome(LineQueue& queue, std::string line,
                                                bool blocking) {
  return enqueue_line_with_outcome(queue, std::move(line), blocking, [](auto&& wait) { wait(); });
}

}  // namespace vorlisk
