#include "core/worker/writer_handle.h"

#include <unistd.h>

#include "core/base/monotonic.h"

namespace vorlisk {

WriterHandle::WriterHandle(WriterParts parts)
    : queue_(std::move(parts.queue)),
      captured_(std::move(parts.captured)),
      thread_(std::move(parts.thread)),
      spawned_in_(::getpid()) {}

WriterHandle::~WriterHandle() {
  if (!spawned_here()) {
    // Inherited across fork(): no worker here would ever end and the thread
    // id names nothing. Nothing is closed, waited for or locked.
    if (thread_) thread_->forget();
    return;
  }
  if (!abandoned()) {
    close(std::nullopt);
    return;
  }
  std::lock_guard lock(handle_mutex_);
  if (thread_) thread_->detach();
  thread_.reset();
}

bool WriterHandle::spawned_here() const { return ::getpid() == spawned_in_; }

namespace {

// Counts a wait with a stall limit in the queue's stall watchers while it
// lives; made and dropped with the queue mutex held.
class StallWatch {
 public:
  StallWatch(LineQueueState& state, bool watch) : state_(state), watch_(watch) {
    if (watch_) state_.stall_watchers += 1;
  }
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;
  ~StallWatch() {
    if (watch_) state_.stall_watchers -= 1;
  }

 private:
  LineQueueState& state_;
  bool watch_;
};

}  // namespace

template <typename Done>
uint64_t WriterHandle::wait_for_progress(std::unique_lock<std::mutex>& lock,
                                         const std::optional<Duration>& stall_limit,
                                         StallStart start, Done&& done) {
  LineQueueState& s = queue_->state;
  if (!stall_limit) {
    while (!done() && !s.worker_done) queue_->cond_progress.wait(lock);
    return 0;
  }
  const bool progressing = wait_while_progressing(
      queue_->cond_progress, lock, stall_limit, start, [&] { return !done() && !s.worker_done; },
      [&] { return s.completed; }, [&] { return s.last_progress; }, [] {});
  return progressing ? 0 : abandon_stalled_writer();
}

WriterHandle::PendingFlush::PendingFlush(WriterHandle& writer,
                                         std::optional<Duration> stall_limit)
    : writer_(&writer), stall_limit_(stall_limit) {}

WriterHandle::PendingFlush::PendingFlush(PendingFlush&& other) noexcept
    : writer_(other.writer_),
      stall_limit_(other.stall_limit_),
      target_(other.target_),
      start_(other.start_),
      pending_(std::exchange(other.pending_, false)),
      watching_(std::exchange(other.watching_, false)) {}

WriterHandle::PendingFlush::~PendingFlush() {
  if (!watching_) return;
  std::lock_guard lock(writer_->queue_->mutex);
  unwatch();
}

void WriterHandle::PendingFlush::unwatch() {
  if (!std::exchange(watching_, false)) return;
  writer_->queue_->state.stall_watchers -= 1;
}

WriterHandle::PendingFlush WriterHandle::start_flush(const std::optional<Duration>& stall_limit) {
  PendingFlush pending(*this, stall_limit);
  std::lock_guard lock(queue_->mutex);
  LineQueueState& s = queue_->state;
  pending.target_ = s.enqueued;
  if (s.flushed_through >= pending.target_) return pending;
  if (!s.pending_flush_target || *s.pending_flush_target < pending.target_) {
    s.pending_flush_target = pending.target_;
  }
  pending.pending_ = true;
  if (stall_limit) {
    // From now on the worker notes when it last made progress.
    s.stall_watchers += 1;
    pending.watching_ = true;
    pending.start_ = StallStart{MonotonicInstant::now(), s.completed};
  }
  return pending;
}

uint64_t WriterHandle::PendingFlush::wait() {
  if (!std::exchange(pending_, false)) return 0;
  std::unique_lock lock(writer_->queue_->mutex);
  const LineQueueState& s = writer_->queue_->state;
  const uint64_t undrained = writer_->wait_for_progress(
      lock, stall_limit_, start_, [&] { return s.flushed_through >= target_; });
  unwatch();
  return undrained;
}

uint64_t WriterHandle::close(const std::optional<Duration>& stall_limit) {
  if (abandoned()) return 0;
  {
    std::lock_guard lock(queue_->mutex);
    queue_->state.closed = true;
    queue_->wake_worker();
    queue_->cond_space.notify_all();
  }
  {
    std::unique_lock lock(queue_->mutex);
    LineQueueState& s = queue_->state;
    const StallWatch watch(s, stall_limit.has_value());
    const uint64_t undrained =
        wait_for_progress(lock, stall_limit, StallStart{MonotonicInstant::now(), s.completed},
                          [] { return false; });
    if (undrained != 0) return undrained;
  }
  std::optional<NativeThread> thread;
  {
    std::lock_guard lock(handle_mutex_);
    thread.swap(thread_);
  }
  // The worker's own failures were already counted by its exit guard.
  if (thread) let_go_of(*thread, true);
  return 0;
}

uint64_t WriterHandle::abandon_stalled_writer() {
  LineQueueState& s = queue_->state;
  s.closed = true;
  s.worker_done = true;
  s.pending_flush_target.reset();
  queue_->wake_worker();
  queue_->cond_progress.notify_all();
  queue_->cond_space.notify_all();
  {
    std::lock_guard lock(handle_mutex_);
    // Never killed: once its sink call returns it drains and ends unobserved.
    if (thread_) let_go_of(*thread_, false);
    thread_.reset();
  }
  return s.enqueued - s.completed;
}

void WriterHandle::let_go_of(NativeThread& thread, bool join) const {
  if (!spawned_here()) {
    // Inherited across fork(): the id names nothing in this process, or a
    // thread the C runtime made since.
    thread.forget();
  } else if (join) {
    thread.join();
  } else {
    thread.detach();
  }
}

void WriterHandle::resume() {
  std::lock_guard lock(queue_->mutex);
  queue_->state.paused = false;
  queue_->wake_worker();
}

WriterMetrics WriterHandle::metrics() const {
  std::lock_guard lock(queue_->mutex);
  const LineQueueState& s = queue_->state;
  WriterMetrics m;
  m.enqueued = s.enqueued;
  m.dropped = s.dropped;
  m.dequeued = s.dequeued;
  m.written = s.written;
  m.sink_errors = s.sink_errors;
  m.depth = s.lines.size();
  m.maxsize = queue_->maxsize;
  m.in_flight = s.in_flight;
  m.closed = s.closed;
  m.worker_done = s.worker_done;
  m.paused = s.paused;
  return m;
}

void WriterHandle::lock_for_fork() {
  ForkLocks& locks = fork_locks_.emplace();
  locks.queue = std::unique_lock(queue_->mutex);
  locks.handle = std::unique_lock(handle_mutex_);
  locks.captured = captured_->lock_for_fork();
}

void WriterHandle::unlock_after_fork_in_parent() { fork_locks_.reset(); }

void WriterHandle::unlock_after_fork_in_child() {
  queue_->forget_worker_after_fork();
  if (thread_) thread_->forget();
  thread_.reset();
  fork_locks_.reset();
}

}  // namespace vorlisk
