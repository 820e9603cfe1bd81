// Queue generations: each configuration of a dispatcher queues its records
// in a generation of its own, with a bounded FIFO, counters, and one worker
// thread. A per-dispatcher GenerationTracker numbers the generations and
// makes their workers deliver strictly in the order they were opened.
//
// Thread safety: every QueueGeneration field from `records` to `abandoned`
// is guarded by `lock`; `worker` by `handle_lock` (never held with `lock`);
// `stop_delivery` is atomic. The tracker's fields are guarded by its own
// lock, which is never held together with a generation's. None of these
// locks is ever held while waiting for the interpreter lock. All of them are
// taken before a fork and released on both sides (fork_guard.h); in a
// child, an inherited generation counts as abandoned, since its worker is
// not there, and an inherited tracker has no live generation.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "core/base/duration.h"
#include "core/base/fork_guard.h"
#include "core/base/monotonic.h"
#include "core/base/native_thread.h"
#include "py/dispatch/sink_entry.h"

namespace vorlisk::py {

struct GenerationTracker final : ForkGuarded {
  std::mutex lock;
  uint64_t next_id = 0;        // guarded by lock
  std::set<uint64_t> live_ids;  // guarded by lock: workers neither exited nor abandoned
  std::condition_variable turn;  // workers waiting for their turn

  void lock_for_fork() override;
  void unlock_after_fork_in_parent() override;
  void unlock_after_fork_in_child() override;
  ForkGuardRegistration fork_registration{this};
};

// A new id, live until retired.
uint64_t open_generation_id(GenerationTracker& tracker);
// Takes `id` out of the live set (again: harmless) and wakes waiting workers.
void retire_generation_id(GenerationTracker& tracker, uint64_t id);
// Returns once every older live generation has left the tracker.
void wait_for_turn(GenerationTracker& tracker, uint64_t id);

// One queued record and the sinks reserved for it.
struct DeliveryRecord {
  std::string line;  // exactly as enqueued, trailing newline included
  SinkList sinks;
  int64_t level = 0;
};

struct QueueGeneration final : ForkGuarded {
  QueueGeneration(std::shared_ptr<GenerationTracker> tracker, uint64_t maxsize, uint64_t id);

  const std::shared_ptr<GenerationTracker> tracker;
  const uint64_t maxsize;  // 0: unbounded

  std::mutex lock;
  std::deque<DeliveryRecord> records;  // queued, not yet taken by the worker
  uint64_t unfinished = 0;             // pushed and not yet delivered
  uint64_t producers_in_progress = 0;  // admitted enqueue calls not yet finished
  uint64_t blocked_producers = 0;      // producers waiting for a free slot
  uint64_t admitted = 0;               // running totals from here to `delivered`
  uint64_t finished = 0;
  uint64_t enqueued = 0;
  uint64_t delivered = 0;
  uint64_t drain_waiters = 0;  // threads draining this generation
  // The smallest `finished` and `delivered` totals a waiting drain needs to
  // see; reaching one wakes the drains, which otherwise learn of progress at
  // their own deadlines rather than once per record.
  uint64_t wake_drains_at_finished = UINT64_MAX;
  uint64_t wake_drains_at_delivered = UINT64_MAX;
  // When `finished` and `delivered` last grew while a drain waited: a drain
  // that learns of progress at its deadline counts its next stretch from
  // the progress itself.
  MonotonicInstant finished_at;
  MonotonicInstant delivered_at;
  bool accepting = true;       // false once retired or abandoned, for good
  bool abandoned = false;      // a drain gave up on the worker, for good
  bool worker_exited = false;  // the worker's body has ended
  std::condition_variable progress;  // producers, drains, wait_retired
  std::condition_variable work;      // the worker only

  std::mutex handle_lock;
  std::optional<NativeThread> worker;  // guarded by handle_lock

  const uint64_t id;
  std::atomic<bool> stop_delivery{false};  // read before every sink call

  void lock_for_fork() override;
  void unlock_after_fork_in_parent() override;
  void unlock_after_fork_in_child() override;
  ForkGuardRegistration fork_registration{this};
};

// For producers and the worker, after adding to `finished` or `delivered`
// (lock held): notes the time for the drains waiting, and wakes them once a
// total they wait for is reached.
void note_finished(QueueGeneration& generation);
void note_delivered(QueueGeneration& generation);

// Stops admitting producers and wakes everyone who waits on the generation.
void retire_generation(QueueGeneration& generation);

// The worker thread is held and has not finished (abandonment not considered).
bool generation_worker_running(QueueGeneration& generation);
// Running and not abandoned: the generation is still worth keeping a handle on.
bool generation_worker_alive(QueueGeneration& generation);

// Waits, with the interpreter lock released by the caller, until the
// generation has delivered what its producers had been admitted for when
// the call began; on a retired generation also until its worker has ended,
// and joins it. `stall` bounds every stretch without progress: when it runs
// out the generation is abandoned (its worker left running, never killed)
// and the number of records not delivered is returned. Returns 0 at once
// inside a sink callback.
uint64_t drain_generation(QueueGeneration& generation, std::optional<Duration> stall);

}  // namespace vorlisk::py
