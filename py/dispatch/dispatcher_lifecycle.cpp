// Reconfiguring and shutting down callable delivery: configure, sync,
// disable, stop, flush and remove. Registry changes happen under the
// registry lock; every wait happens afterwards, in drain_generations, with
// the interpreter lock released.
#include <optional>
#include <vector>

#include "core/base/duration.h"
#include "py/dispatch/dispatcher_methods.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

constexpr const char* kClass = "CallableDispatcher";

bool extract_stall_timeout(PyObject* arg, std::optional<Duration>* out) {
  if (is_absent(arg)) {
    *out = std::nullopt;
    return true;
  }
  double seconds = 0.0;
  if (!extract_double(arg, "stall_timeout", &seconds)) return false;
  *out = stall_timeout_from_secs(seconds);
  return true;
}

bool extract_callables(PyObject* arg, std::vector<DeferredPyRef>* out) {
  std::vector<PyRef> items;
  if (!extract_object_sequence(arg, "callbacks", &items)) return false;
  out->reserve(items.size());
  for (PyRef& item : items) out->push_back(DeferredPyRef::steal(item.release()));
  return true;
}

void halt(SinkRegistry& registry) {
  if (registry.halt_state == HaltState::kRunning) registry.halt_state = HaltState::kHalted;
}

bool has_sinks(const SinkRegistry& registry) {
  return !registry.configured.empty() || !registry.runtime.empty();
}

PyObject* abandoned_count(uint64_t count) { return PyLong_FromUnsignedLongLong(count); }

constexpr auto kStopSig = method_signature(
    kClass, "stop", {keyword_required("drain"), keyword_optional("stall_timeout")});
PyObject* stop(PyObject* self, PyObject* const* args) {
  bool drain = false;  // both values drain everything accepted
  std::optional<Duration> stall;
  if (!extract_bool(args[0], "drain", &drain) || !extract_stall_timeout(args[1], &stall)) {
    return nullptr;
  }
  DispatcherState& state = *state_of(self);
  RememberedGenerations remembered;
  {
    RegistryGuard guard(state);
    retire_active(guard);
    halt(guard.registry());
    remembered = remember_generations(guard);
  }
  return abandoned_count(drain_generations(state, remembered, stall));
}

constexpr auto kDisableSig =
    method_signature(kClass, "disable", {keyword_optional("stall_timeout")});
PyObject* disable(PyObject* self, PyObject* const* args) {
  std::optional<Duration> stall;
  if (!extract_stall_timeout(args[0], &stall)) return nullptr;
  DispatcherState& state = *state_of(self);
  RememberedGenerations remembered;
  {
    RegistryGuard guard(state);
    SinkRegistry& registry = guard.registry();
    retire_active(guard);
    guard.discard(std::exchange(registry.configured, {}));
    clear_level_cache(guard);
    halt(registry);
    publish_snapshot(guard);
    remembered = remember_generations(guard);
  }
  return abandoned_count(drain_generations(state, remembered, stall));
}

constexpr auto kConfigureSig =
    method_signature(kClass, "configure",
                     {required("callbacks"), keyword_required("maxsize"),
                      keyword_optional("stall_timeout")});
PyObject* configure(PyObject* self, PyObject* const* args) {
  std::vector<DeferredPyRef> callables;
  uint64_t maxsize = 0;
  std::optional<Duration> stall;
  if (!extract_callables(args[0], &callables) || !extract_uint64(args[1], "maxsize", &maxsize) ||
      !extract_stall_timeout(args[2], &stall)) {
    return nullptr;
  }
  const std::shared_ptr<DispatcherState>& state = state_of(self);
  RememberedGenerations remembered;
  {
    RegistryGuard guard(*state);
    SinkRegistry& registry = guard.registry();
    retire_active(guard);
    // The new generation delivers after these; it is not drained here.
    remembered = remember_generations(guard);
    replace_sinks(guard, callables);
    registry.maxsize = maxsize;
    registry.halt_state = HaltState::kRunning;
    state->dropped_count.store(0, std::memory_order_relaxed);
    state->error_count.store(0, std::memory_order_relaxed);
    if (has_sinks(registry) && !open_generation_or_publish(guard, state)) return nullptr;
    publish_snapshot(guard);
  }
  return abandoned_count(drain_generations(*state, remembered, stall));
}

bool configured_matches(const SinkRegistry& registry, const std::vector<DeferredPyRef>& callables,
                        uint64_t maxsize) {
  if (registry.maxsize != maxsize || registry.configured.size() != callables.size()) return false;
  for (size_t i = 0; i < callables.size(); ++i) {
    if (registry.configured[i].callback.get() != callables[i].get()) return false;
  }
  return true;
}

constexpr auto kSyncSig =
    method_signature(kClass, "sync", {required("callbacks"), keyword_required("maxsize")});
PyObject* sync(PyObject* self, PyObject* const* args) {
  const bool disabled = is_absent(args[0]);
  std::vector<DeferredPyRef> callables;
  uint64_t maxsize = 0;
  if ((!disabled && !extract_callables(args[0], &callables)) ||
      !extract_uint64(args[1], "maxsize", &maxsize)) {
    return nullptr;
  }
  const std::shared_ptr<DispatcherState>& state = state_of(self);
  RegistryGuard guard(*state);
  SinkRegistry& registry = guard.registry();
  if (disabled) {
    if (!registry.active && registry.configured.empty() &&
        registry.halt_state != HaltState::kRunning) {
      Py_RETURN_NONE;  // already disabled
    }
    retire_active(guard);
    guard.discard(std::exchange(registry.configured, {}));
    clear_level_cache(guard);
    halt(registry);
    publish_snapshot(guard);
    Py_RETURN_NONE;
  }
  if (!configured_matches(registry, callables, maxsize)) {
    retire_active(guard);
    replace_sinks(guard, callables);
    registry.maxsize = maxsize;
    publish_snapshot(guard);
  }
  // Callbacks mean logging is enabled; an abandoned generation still needs
  // configure.
  if (registry.halt_state == HaltState::kHalted) registry.halt_state = HaltState::kRunning;
  if (!registry.active && registry.halt_state == HaltState::kRunning && has_sinks(registry) &&
      !open_generation_or_publish(guard, state)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr auto kFlushSig = method_signature(kClass, "flush", {optional("stall_timeout")});
PyObject* flush(PyObject* self, PyObject* const* args) {
  std::optional<Duration> stall;
  if (!extract_stall_timeout(args[0], &stall)) return nullptr;
  DispatcherState& state = *state_of(self);
  RememberedGenerations remembered;
  {
    RegistryGuard guard(state);
    remembered = remember_generations(guard);
  }
  return abandoned_count(drain_generations(state, remembered, stall));
}

constexpr auto kRemoveSig =
    method_signature(kClass, "remove",
                     {required("token"), keyword_optional("finalizer"),
                      keyword_optional("stall_timeout")});
PyObject* remove(PyObject* self, PyObject* const* args) {
  int64_t token = 0;
  std::optional<Duration> stall;
  if (!extract_int64(args[0], "token", &token)) return nullptr;
  PyObject* finalizer = is_absent(args[1]) ? nullptr : args[1];
  if (!extract_stall_timeout(args[2], &stall)) return nullptr;

  DispatcherState& state = *state_of(self);
  bool registered = false;
  RememberedGenerations remembered;
  {
    RegistryGuard guard(state);
    SinkRegistry& registry = guard.registry();
    if (auto entry = registry.runtime.find(token); entry != registry.runtime.end()) {
      registered = true;
      guard.discard(std::move(entry->second));
      registry.runtime.erase(entry);
    }
    clear_level_cache(guard);
    if (!has_sinks(registry)) retire_active(guard);
    publish_snapshot(guard);
    remembered = remember_generations(guard);
  }
  // Keeps the finalizer alive across the drain, whatever the caller does.
  PyRef held_finalizer = PyRef::borrow(finalizer);
  const uint64_t abandoned = drain_generations(state, remembered, stall);

  if (held_finalizer) {
    bool deferred = false;
    {
      RegistryGuard guard(state);
      SinkRegistry& registry = guard.registry();
      auto count = registry.in_flight_counts.find(token);
      if (count != registry.in_flight_counts.end() && count->second > 0) {
        // Runs on the thread that completes the last delivery still using
        // the sink (this one's own worker, or one the drain abandoned).
        DeferredPyRef& slot = registry.deferred_finalizers[token];
        if (slot) guard.discard(std::move(slot));
        slot = DeferredPyRef::borrow(held_finalizer.get());
        publish_snapshot(guard);
        deferred = true;
      }
    }
    if (!deferred) {
      PyRef result = PyRef::steal(PyObject_CallNoArgs(held_finalizer.get()));
      if (!result) return nullptr;
    }
  }
  return Py_BuildValue("(OK)", registered ? Py_True : Py_False,
                       static_cast<unsigned long long>(abandoned));
}

}  // namespace

PyMethodDef remove_method() {
  return fastcall_method<kRemoveSig, remove>(
      "remove",
      "remove($self, token, *, finalizer=None, stall_timeout=None)\n--\n\n"
      "Remove one sink, then drain every record that captured it.\n\n"
      "`finalizer` releases the sink's resources (closing a handler) and runs\n"
      "once no delivery references the sink: right after the drain, or, when a\n"
      "delivery is still running, on the thread that finishes the last one.\n"
      "That happens inside a sink callback, which cannot wait for its own\n"
      "worker, and when the drain abandoned a sink that stopped returning.\n"
      "Closing at once would leave those deliveries writing to a closed\n"
      "handler.\n\n"
      "Returns whether `token` was registered and, as `stop` does, the number\n"
      "of records abandoned because a sink made no progress for\n"
      "`stall_timeout`.");
}

PyMethodDef configure_method() {
  return fastcall_method<kConfigureSig, configure>(
      "configure",
      "configure($self, callbacks, *, maxsize, stall_timeout=None)\n--\n\n"
      "Replace the configured sinks and start a new queue generation.\n\n"
      "The new generation accepts records at once but delivers only after\n"
      "every earlier one has finished or been abandoned; this call then drains\n"
      "those predecessors. Drop and error counters restart, and a halted\n"
      "dispatcher resumes. See `stop` for `stall_timeout` and the return value.");
}

PyMethodDef sync_method() {
  return fastcall_method<kSyncSig, sync>(
      "sync",
      "sync($self, callbacks, *, maxsize)\n--\n\n"
      "Converge on a configuration without disturbing a matching one.\n\n"
      "`callbacks=None` means logging is disabled. For a registration that\n"
      "raced a configure() or shutdown(): when the dispatcher already matches,\n"
      "nothing is replaced, restarted, or waited for. A mismatch is applied as\n"
      "`configure` or `disable` would, except that nothing is drained (a new\n"
      "generation still delivers after its predecessors) and counters keep\n"
      "counting. Callbacks mean logging is enabled, so they resume dispatch\n"
      "halted by `stop`, `disable`, or `sync(None)`; after an abandoned\n"
      "generation only `configure` resumes it.");
}

PyMethodDef disable_method() {
  return fastcall_method<kDisableSig, disable>(
      "disable",
      "disable($self, *, stall_timeout=None)\n--\n\n"
      "Stop dispatch and remove configured sinks while preserving runtime\n"
      "registrations; dispatch stays halted until the next `configure` (or\n"
      "`sync` with callbacks). See `stop` for `stall_timeout` and the return\n"
      "value.");
}

PyMethodDef stop_method() {
  return fastcall_method<kStopSig, stop>(
      "stop",
      "stop($self, *, drain, stall_timeout=None)\n--\n\n"
      "Stop the active dispatch queue while preserving registrations; dispatch\n"
      "stays halted until the next `configure` (or `sync` with callbacks).\n\n"
      "`drain` is accepted for API symmetry; both values join behind every\n"
      "accepted queue entry, as the Python dispatcher always did.\n\n"
      "`stall_timeout` bounds the wait for a sink that stops returning; the\n"
      "number of records abandoned is returned (zero when every delivery\n"
      "completed).");
}

PyMethodDef flush_method() {
  return fastcall_method<kFlushSig, flush>(
      "flush",
      "flush($self, stall_timeout=None)\n--\n\n"
      "Block until all queued deliveries have completed; see `stop` for\n"
      "`stall_timeout` and the return value.");
}

}  // namespace vorlisk::py
