#include "py/dispatch/dispatcher_state.h"

#include <string>
#include <utility>
#include <variant>

#include "py/dispatch/callback_depth.h"
#include "py/dispatch/dispatch_channel.h"
#include "py/dispatch/dispatch_worker.h"
#include "py/glue/gil.h"
#include "py/dispatch/worker_thread_state.h"
#include "py/glue/entry.h"

namespace vorlisk::py {
namespace {

std::vector<SinkEntry> clone_entries(const std::vector<SinkEntry>& entries) {
  std::vector<SinkEntry> copies;
  copies.reserve(entries.size());
  for (const SinkEntry& entry : entries) copies.push_back(entry.clone());
  return copies;
}

// Retires a generation id if the operation holding it does not complete.
class IdReservation {
 public:
  IdReservation(GenerationTracker& tracker, uint64_t id) : tracker_(tracker), id_(id) {}
  ~IdReservation() {
    if (!kept_) retire_generation_id(tracker_, id_);
  }
  void keep() { kept_ = true; }

 private:
  GenerationTracker& tracker_;
  uint64_t id_;
  bool kept_ = false;
};

}  // namespace

DispatcherState::DispatcherState(uint64_t dropped, uint64_t errors)
    : tracker(std::make_shared<GenerationTracker>()),
      dropped_count(dropped),
      error_count(errors),
      made_at_fork_count(fork_count()) {}

DispatcherState::~DispatcherState() {
  for (ChannelHandle& handle : registry.generations) retire_generation(*handle.generation);
  if (registry.active) retire_generation(*registry.active->generation);
  delete snapshot.load(std::memory_order_acquire);
}

std::shared_ptr<DispatcherState> build_dispatcher(std::vector<SinkEntry> configured,
                                                  std::vector<SinkEntry> runtime,
                                                  int64_t next_token, uint64_t maxsize,
                                                  uint64_t dropped, uint64_t errors) {
  auto state = std::make_shared<DispatcherState>(dropped, errors);
  RegistryGuard guard(*state);
  SinkRegistry& registry = guard.registry();
  registry.configured = std::move(configured);
  for (SinkEntry& entry : runtime) {
    const int64_t token = entry.token;
    registry.runtime.insert_or_assign(token, std::move(entry));
  }
  registry.next_token = next_token;
  registry.maxsize = maxsize;
  publish_snapshot(guard);
  return state;
}

void publish_snapshot(RegistryGuard& guard) {
  const SinkRegistry& registry = guard.registry();
  auto fresh = std::make_unique<SinkSnapshot>();
  fresh->configured = clone_entries(registry.configured);
  fresh->runtime.reserve(registry.runtime.size());
  for (const auto& [token, entry] : registry.runtime) fresh->runtime.push_back(entry.clone());
  fresh->finalizers.reserve(registry.deferred_finalizers.size());
  for (const auto& [token, finalizer] : registry.deferred_finalizers) {
    fresh->finalizers.push_back(finalizer.clone());
  }
  fresh->next_token = registry.next_token;
  fresh->maxsize = registry.maxsize;
  const SinkSnapshot* previous =
      guard.state().snapshot.exchange(fresh.release(), std::memory_order_acq_rel);
  if (previous != nullptr) guard.discard_shared(std::shared_ptr<const SinkSnapshot>(previous));
}

void clear_level_cache(RegistryGuard& guard) {
  auto& cache = guard.registry().level_cache;
  if (cache.empty()) return;
  std::vector<SinkList> lists;
  lists.reserve(cache.size());
  for (auto& [level, list] : cache) lists.push_back(std::move(list));
  cache.clear();  // keeps the buckets
  guard.discard(std::move(lists));
}

void replace_sinks(RegistryGuard& guard, const std::vector<DeferredPyRef>& callables) {
  std::vector<SinkEntry> fresh;
  fresh.reserve(callables.size());
  for (size_t i = 0; i < callables.size(); ++i) {
    fresh.push_back({callables[i].clone(), ~static_cast<int64_t>(i), 0, DeferredPyRef()});
  }
  guard.discard(std::exchange(guard.registry().configured, std::move(fresh)));
  clear_level_cache(guard);
}

const SinkList& sinks_for_level(RegistryGuard& guard, int64_t level) {
  SinkRegistry& registry = guard.registry();
  if (auto hit = registry.level_cache.find(level); hit != registry.level_cache.end()) {
    return hit->second;
  }
  auto list = std::make_shared<SinkListData>();
  auto admit = [&](const SinkEntry& entry) {
    if (entry.min_level > level) return;
    list->entries.push_back(entry.clone());
    list->has_runtime = list->has_runtime || entry.is_runtime();
  };
  for (const SinkEntry& entry : registry.configured) admit(entry);
  for (const auto& [token, entry] : registry.runtime) admit(entry);
  // Past the limit a level is chosen afresh on every call until the next
  // change of the sinks clears the cache.
  if (registry.level_cache.size() < kLevelCacheLimit) {
    return registry.level_cache.emplace(level, std::move(list)).first->second;
  }
  guard.uncached_sinks() = std::move(list);
  return guard.uncached_sinks();
}

bool open_generation(RegistryGuard& guard, const std::shared_ptr<DispatcherState>& state) {
  SinkRegistry& registry = guard.registry();
  GenerationTracker& tracker = *state->tracker;
  const uint64_t id = open_generation_id(tracker);
  IdReservation reservation(tracker, id);
  auto generation = std::make_shared<QueueGeneration>(state->tracker, registry.maxsize, id);

  // The worker's first thread state is made here, under the interpreter
  // lock, so that the worker never enters the interpreter's thread
  // bookkeeping without it. It and the handle are made before the worker
  // starts, so that failing to make them leaves no thread waiting on a
  // generation nobody can reach.
  HandedThreadState thread_state;
  if (thread_state.failed()) return false;
  PyObject* channel = new_dispatch_channel(generation);
  if (channel == nullptr) return false;
  DeferredPyRef channel_ref = DeferredPyRef::steal(channel);

  auto spawned = spawn_native_thread(
      [weak = std::weak_ptr<DispatcherState>(state), generation, handed = thread_state.get()] {
        dispatch_worker_loop(weak, generation, handed);
      },
      0, kDispatchWorkerName);
  if (auto* error = std::get_if<std::string>(&spawned)) {
    retire_generation(*generation);
    guard.discard(std::move(channel_ref));
    throw InternalError("spawn callable sink dispatch worker: " + *error);
  }
  thread_state.hand_over();
  reservation.keep();
  {
    std::lock_guard<std::mutex> lock(generation->handle_lock);
    generation->worker.emplace(std::move(std::get<NativeThread>(spawned)));
  }
  if (registry.active) guard.discard(std::move(*registry.active));
  registry.active = ChannelHandle{channel_ref.clone(), generation};
  registry.generations.push_back(ChannelHandle{std::move(channel_ref), std::move(generation)});
  state->dispatch_active.store(true, std::memory_order_release);
  return true;
}

bool open_generation_or_publish(RegistryGuard& guard,
                                const std::shared_ptr<DispatcherState>& state) {
  bool opened = false;
  try {
    opened = open_generation(guard, state);
  } catch (...) {
    publish_snapshot(guard);
    throw;
  }
  if (!opened) publish_snapshot(guard);
  return opened;
}

void retire_active(RegistryGuard& guard) {
  SinkRegistry& registry = guard.registry();
  if (!registry.active) return;
  ChannelHandle handle = std::move(*registry.active);
  registry.active.reset();
  guard.state().dispatch_active.store(false, std::memory_order_release);
  retire_generation(*handle.generation);
  guard.discard(std::move(handle));
}

RememberedGenerations remember_generations(RegistryGuard& guard) {
  RememberedGenerations remembered;
  remembered.reserve(guard.registry().generations.size());
  for (const ChannelHandle& handle : guard.registry().generations) {
    remembered.push_back(handle.generation);
  }
  return remembered;
}

void run_deferred_finalizers(DispatcherState& state, const SinkListData& sinks) {
  if (!sinks.has_runtime) return;  // configured sinks hold no reservations
  std::vector<DeferredPyRef> due;
  {
    RegistryGuard guard(state);
    SinkRegistry& registry = guard.registry();
    for (const SinkEntry& entry : sinks.entries) {
      if (!entry.is_runtime()) continue;
      auto count = registry.in_flight_counts.find(entry.token);
      if (count != registry.in_flight_counts.end() && count->second >= 2) {
        --count->second;
        continue;
      }
      if (count != registry.in_flight_counts.end()) registry.in_flight_counts.erase(count);
      if (auto f = registry.deferred_finalizers.find(entry.token);
          f != registry.deferred_finalizers.end()) {
        due.push_back(std::move(f->second));
        registry.deferred_finalizers.erase(f);
      }
    }
    if (!due.empty()) publish_snapshot(guard);
  }
  for (const DeferredPyRef& finalizer : due) {
    PyObject* result = PyObject_CallNoArgs(finalizer.get());
    if (result == nullptr) {
      PyErr_Clear();
    } else {
      Py_DECREF(result);
    }
  }
}

uint64_t drain_generations(DispatcherState& state, const RememberedGenerations& generations,
                           std::optional<Duration> stall) {
  uint64_t abandoned_records = 0;
  if (!inside_sink_callback()) {
    abandoned_records = without_gil([&] {
      uint64_t total = 0;
      for (const auto& generation : generations) total += drain_generation(*generation, stall);
      return total;
    });
    for (const auto& generation : generations) {
      std::deque<DeliveryRecord> left;
      {
        std::lock_guard<std::mutex> lock(generation->lock);
        if (generation->abandoned) left.swap(generation->records);
      }
      for (DeliveryRecord& record : left) run_deferred_finalizers(state, *record.sinks);
    }
  }

  RegistryGuard guard(state);
  SinkRegistry& registry = guard.registry();
  if (registry.active) {
    bool active_abandoned = false;
    {
      std::lock_guard<std::mutex> lock(registry.active->generation->lock);
      active_abandoned = registry.active->generation->abandoned;
    }
    if (active_abandoned) {
      retire_active(guard);
      registry.halt_state = HaltState::kAbandoned;
    }
  }
  std::vector<ChannelHandle> kept;
  kept.reserve(registry.generations.size());
  for (ChannelHandle& handle : registry.generations) {
    if (generation_worker_alive(*handle.generation)) {
      kept.push_back(std::move(handle));
    } else {
      guard.discard(std::move(handle));
    }
  }
  registry.generations.swap(kept);
  return abandoned_records;
}

}  // namespace vorlisk::py
