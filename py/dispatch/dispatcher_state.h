// The state behind one CallableDispatcher: the sink registry under its
// lock, the counters, the snapshot that a forked child rebuilds from, and
// the operations on them that the dispatcher's methods and workers share.
//
// Thread safety: the registry is touched only through a RegistryGuard,
// which holds the registry lock; every holder also holds the interpreter
// lock, and takes a generation's or the tracker's lock only inside it. So
// at a fork no thread but the forking one can hold the registry lock, and a
// child can take it (fork_guard.h).
// Nothing a registry change lets go of is released before the lock is: a
// release can run Python code, which may call back into the dispatcher.
// `dropped_count`, `error_count`, `snapshot` and `dispatch_active` are
// atomics read without the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "core/base/duration.h"
#include "core/base/fork_guard.h"
#include "py/dispatch/generation.h"
#include "py/dispatch/sink_entry.h"
#include "py/glue/deferred_release.h"

namespace vorlisk::py {

// A generation together with its Python handle (a DispatchChannel).
struct ChannelHandle {
  DeferredPyRef object;
  std::shared_ptr<QueueGeneration> generation;
};

enum class HaltState : uint8_t {
  kRunning = 0,
  kHalted = 1,     // stop, disable or sync(None); sync with callbacks resumes
  kAbandoned = 2,  // the active generation was abandoned; only configure resumes
};

// Immutable copy of the registrations, published after every change to them.
struct SinkSnapshot {
  std::vector<SinkEntry> configured;
  std::vector<SinkEntry> runtime;  // ascending by token
  std::vector<DeferredPyRef> finalizers;
  int64_t next_token = 1;
  uint64_t maxsize = 1024;
};

struct SinkRegistry {
  std::vector<SinkEntry> configured;    // as last given to configure or sync
  std::vector<ChannelHandle> generations;  // open generations, oldest first
  std::unordered_map<int64_t, SinkList> level_cache;  // at most kLevelCacheLimit levels
  std::unordered_map<int64_t, uint64_t> in_flight_counts;   // runtime token -> reserved records
  std::unordered_map<int64_t, DeferredPyRef> deferred_finalizers;  // runtime token -> finalizer
  std::map<int64_t, SinkEntry> runtime;  // by token
  int64_t next_token = 1;
  uint64_t maxsize = 1024;  // bound of the next generation opened; 0 unbounded
  std::optional<ChannelHandle> active;
  HaltState halt_state = HaltState::kRunning;
};

inline constexpr size_t kLevelCacheLimit = 64;

class DispatcherState {
 public:
  DispatcherState(uint64_t dropped, uint64_t errors);
  // Retires every generation still open: their workers deliver what is
  // queued and end instead of waiting for records forever.
  ~DispatcherState();
  DispatcherState(const DispatcherState&) = delete;
  DispatcherState& operator=(const DispatcherState&) = delete;

  const std::shared_ptr<GenerationTracker> tracker;
  std::mutex registry_mutex;
  SinkRegistry registry;  // guarded by registry_mutex
  std::atomic<uint64_t> dropped_count;
  std::atomic<uint64_t> error_count;
  std::atomic<const SinkSnapshot*> snapshot{nullptr};  // owned; never null once built
  std::atomic<bool> dispatch_active{false};
  // The fork count when the state was made: another count means that it
  // was inherited across fork() (fork_child reads it without any lock).
  const uint64_t made_at_fork_count;

  bool inherited() const { return made_at_fork_count != fork_count(); }
};

// Holds the registry lock, and what registry changes let go of until after
// the lock is released.
class RegistryGuard {
 public:
  explicit RegistryGuard(DispatcherState& state) : state_(state), lock_(state.registry_mutex) {}
  ~RegistryGuard() {
    lock_.unlock();
    discarded_.clear();
  }
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;

  DispatcherState& state() { return state_; }
  SinkRegistry& registry() { return state_.registry; }

  // Keeps `value` until the lock is released.
  template <class T>
  void discard(T&& value) {
    discarded_.push_back(std::make_shared<std::decay_t<T>>(std::forward<T>(value)));
  }
  void discard_shared(std::shared_ptr<const void> value) { discarded_.push_back(std::move(value)); }

  // Holds a sink list chosen for a level the cache has no room for.
  SinkList& uncached_sinks() { return uncached_sinks_; }

 private:
  DispatcherState& state_;
  std::unique_lock<std::mutex> lock_;
  std::vector<std::shared_ptr<const void>> discarded_;
  SinkList uncached_sinks_;  // declared last: released after the lock
};

// A new state with these registrations and counts, its first snapshot
// published. Runtime entries are keyed by their own tokens (the last of
// equal tokens wins).
std::shared_ptr<DispatcherState> build_dispatcher(std::vector<SinkEntry> configured,
                                                  std::vector<SinkEntry> runtime,
                                                  int64_t next_token, uint64_t maxsize,
                                                  uint64_t dropped, uint64_t errors);

void publish_snapshot(RegistryGuard& guard);
void clear_level_cache(RegistryGuard& guard);
// Configured sink i becomes callables[i] with token ~i and min_level 0.
void replace_sinks(RegistryGuard& guard, const std::vector<DeferredPyRef>& callables);
// The sinks admitting `level`, from the level cache when it holds it. The
// reference lasts as long as the guard; callers copy it to keep it longer.
const SinkList& sinks_for_level(RegistryGuard& guard, int64_t level);

// Opens a generation with its worker and makes it active. Returns false
// with the Python error set when its handle or its worker's first thread
// state cannot be made; a worker that cannot be started fails internally
// ("spawn callable sink dispatch worker: ..."). Either way no thread is left
// and later generations do not wait for the failed one.
bool open_generation(RegistryGuard& guard, const std::shared_ptr<DispatcherState>& state);
// The same, publishing the snapshot before reporting a failure, so that the
// registry changes made before it are what a forked child sees.
bool open_generation_or_publish(RegistryGuard& guard, const std::shared_ptr<DispatcherState>& state);

// Takes the active generation out of the registry and retires it.
void retire_active(RegistryGuard& guard);

using RememberedGenerations = std::vector<std::shared_ptr<QueueGeneration>>;
RememberedGenerations remember_generations(RegistryGuard& guard);

// Releases one record's reservations, then calls every finalizer whose
// sink this record held the last reservation of. Interpreter lock held, no
// registry or generation lock.
void run_deferred_finalizers(DispatcherState& state, const SinkListData& sinks);

// Drains the remembered generations with the interpreter lock released
// (nothing inside a sink callback), releases the records of abandoned ones,
// halts the dispatcher when its active generation was abandoned, and prunes
// generations whose workers are gone. Returns the records abandoned.
// Interpreter lock held on entry and exit.
uint64_t drain_generations(DispatcherState& state, const RememberedGenerations& generations,
                           std::optional<Duration> stall);

}  // namespace vorlisk::py
