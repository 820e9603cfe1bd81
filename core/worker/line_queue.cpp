#include "core/worker/line_queue.h"

#include <pthread.h>

namespace vorlisk {
namespace {

// Appends under the caller's lock; true when the worker must be woken
// (after the lock is released, so that it does not wake into a held mutex).
// Hands the caller a spare buffer in place of its line when there is one.
bool accept_line(LineQueue& queue, std::string& line) {
  queue.state.lines.push_back(std::move(line));
  std::vector<std::string>& spares = queue.state.spare_lines;
  if (!spares.empty()) {
    line = std::move(spares.back());
    spares.pop_back();
  }
  queue.state.enqueued += 1;
  queue.wake_epoch.fetch_add(1, std::memory_order_release);
  return queue.state.worker_waiting_for_line;
}

PushStatus accepted_waking(LineQueue& queue, bool wake) {
  if (wake) queue.cond_work.notify_one();
  return PushStatus::accepted;
}

}  // namespace

LineQueue::LineQueue(uint64_t maxsize, bool paused) : maxsize(maxsize) {
  state.paused = paused;
  state.spare_lines.reserve(kMaxSpareLines);
  // Producers and the worker hold the mutex for a few instructions at a
  // time; a contended lock spins briefly before sleeping (an adaptive mutex)
  // instead of paying two system calls. Re-initialised before first use.
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_destroy(mutex.native_handle());
  pthread_mutex_init(mutex.native_handle(), &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void LineQueue::forget_worker_after_fork() {
  // Initialised afresh without being destroyed first: destroying a
  // condition that still counts waiters waits for them.
  for (std::condition_variable* cond : {&cond_work, &cond_progress, &cond_space}) {
    pthread_cond_init(cond->native_handle(), nullptr);
  }
  state.closed = true;
  state.worker_done = true;
  state.pending_flush_target.reset();
  state.in_flight = 0;  // what the worker held is the parent's to write
  state.worker_waiting_for_line = false;
  state.stall_watchers = 0;
}

const char* enqueue_outcome_name(EnqueueOutcome outcome) {
  switch (outcome) {
    case EnqueueOutcome::accepted: return "accepted";
    case EnqueueOutcome::full: return "full";
    case EnqueueOutcome::closed: return "closed";
  }
  return "closed";
}

PushStatus line_queue_try_push(LineQueue& queue, std::string& line) {
  bool wake = false;
  {
    std::lock_guard lock(queue.mutex);
    if (queue.state.closed) return PushStatus::closed;
    if (!queue.has_room()) {
      queue.state.dropped += 1;
      return PushStatus::full;
    }
    wake = accept_line(queue, line);
  }
  return accepted_waking(queue, wake);
}

PushStatus line_queue_push_no_drop(LineQueue& queue, std::string& line) {
  bool wake = false;
  {
    std::lock_guard lock(queue.mutex);
    if (queue.state.closed || !queue.has_room()) return PushStatus::full;
    wake = accept_line(queue, line);
  }
  return accepted_waking(queue, wake);
}

PushStatus line_queue_push_blocking(LineQueue& queue, std::string& line) {
  std::unique_lock lock(queue.mutex);
  for (;;) {
    // Closed is tested before room on every pass, so a close that arrives
    // while this producer waits always ends the wait.
    if (queue.state.closed) return PushStatus::closed;
    if (queue.has_room()) {
      const bool wake = accept_line(queue, line);
      lock.unlock();
      return accepted_waking(queue, wake);
    }
    queue.cond_space.wait(lock);
  }
}

}  // namespace vorlisk
