#include "py/dispatch/callable_dispatcher.h"

#include "py/dispatch/callback_depth.h"
#include "py/dispatch/dispatcher_methods.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

constexpr const char* kClass = "CallableDispatcher";

PyObject* wrap_dispatcher(std::shared_ptr<DispatcherState> state, PyTypeObject* type) {
  return new_native_object<DispatcherObject>(type, std::move(state));
}

constexpr auto kNewSig = method_signature(kClass, "__new__");
PyObject* dispatcher_new(PyTypeObject* type, PyObject* const*) {
  return wrap_dispatcher(build_dispatcher({}, {}, 1, 1024, 0, 0), type);
}

constexpr auto kAddSig =
    method_signature(kClass, "add",
                     {required("callback"), optional("min_level"), keyword_required("enabled"),
                      keyword_optional("level_callback")});
PyObject* add(PyObject* self, PyObject* const* args) {
  int64_t min_level = 0;
  if (args[1] != nullptr && !extract_int64(args[1], "min_level", &min_level)) return nullptr;
  bool enabled = false;
  if (!extract_bool(args[2], "enabled", &enabled)) return nullptr;
  PyObject* level_callback = is_absent(args[3]) ? nullptr : args[3];

  const std::shared_ptr<DispatcherState>& state = state_of(self);
  int64_t token = 0;
  {
    RegistryGuard guard(*state);
    SinkRegistry& registry = guard.registry();
    token = registry.next_token;
    registry.next_token = static_cast<int64_t>(static_cast<uint64_t>(token) + 1);
    if (auto taken = registry.runtime.find(token); taken != registry.runtime.end()) {
      guard.discard(std::move(taken->second));
      registry.runtime.erase(taken);
    }
    registry.runtime.emplace(token, SinkEntry{DeferredPyRef::borrow(args[0]), token, min_level,
                                              DeferredPyRef::borrow(level_callback)});
    clear_level_cache(guard);
    if (enabled && !registry.active && registry.halt_state == HaltState::kRunning &&
        !open_generation_or_publish(guard, state)) {
      return nullptr;  // the sink stays registered
    }
    publish_snapshot(guard);
  }
  return PyLong_FromLongLong(token);
}

PyObject* channel(PyObject* self) {
  RegistryGuard guard(*state_of(self));
  if (!guard.registry().active) Py_RETURN_NONE;
  return Py_NewRef(guard.registry().active->object.get());
}

PyObject* metrics(PyObject* self) {
  DispatcherState& state = *state_of(self);
  uint64_t depth = 0;
  uint64_t maxsize = 0;
  {
    RegistryGuard guard(state);
    if (const auto& active = guard.registry().active) {
      std::lock_guard<std::mutex> lock(active->generation->lock);
      depth = active->generation->records.size();
    }
    maxsize = guard.registry().maxsize;
  }
  const std::pair<const char*, uint64_t> items[] = {
      {"callable_dropped", state.dropped_count.load(std::memory_order_relaxed)},
      {"callable_errors", state.error_count.load(std::memory_order_relaxed)},
      {"callable_depth", depth},
      {"callable_maxsize", maxsize},
  };
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : items) {
    PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(value));
    if (!number || PyDict_SetItemString(dict.get(), key, number.get()) < 0) return nullptr;
  }
  return dict.release();
}

struct Registrations {
  std::vector<SinkEntry> configured;
  std::vector<SinkEntry> runtime;
  std::vector<DeferredPyRef> finalizers;
  int64_t next_token = 1;
  uint64_t maxsize = 1024;
};

Registrations copy_registrations(const SinkSnapshot& snapshot) {
  Registrations copy;
  for (const SinkEntry& entry : snapshot.configured) copy.configured.push_back(entry.clone());
  for (const SinkEntry& entry : snapshot.runtime) copy.runtime.push_back(entry.clone());
  for (const DeferredPyRef& finalizer : snapshot.finalizers) {
    copy.finalizers.push_back(finalizer.clone());
  }
  copy.next_token = snapshot.next_token;
  copy.maxsize = snapshot.maxsize;
  return copy;
}

constexpr auto kForkChildSig = method_signature(kClass, "fork_child", {keyword_required("enabled")});
PyObject* fork_child(PyObject* self, PyObject* const* args) {
  bool enabled = false;
  if (!extract_bool(args[0], "enabled", &enabled)) return nullptr;
  reset_callback_depth_after_fork();

  DispatcherState& parent = *state_of(self);
  Registrations copy;
  if (!parent.inherited()) {
    // Not a forked child after all: the registry lock is sound, and taking it
    // keeps the snapshot from being replaced while it is copied.
    RegistryGuard guard(parent);
    copy = copy_registrations(*parent.snapshot.load(std::memory_order_acquire));
  } else {
    // A fresh child has no other thread to keep the snapshot from: read it
    // as it stands, complete whenever it is published, without the lock.
    copy = copy_registrations(*parent.snapshot.load(std::memory_order_acquire));
  }
  const bool has_sinks = !copy.configured.empty() || !copy.runtime.empty();
  std::shared_ptr<DispatcherState> child = build_dispatcher(
      std::move(copy.configured), std::move(copy.runtime), copy.next_token, copy.maxsize,
      parent.dropped_count.load(std::memory_order_relaxed),
      parent.error_count.load(std::memory_order_relaxed));
  if (enabled && has_sinks) {
    RegistryGuard guard(*child);
    if (!open_generation(guard, child)) return nullptr;
  }
  // Nothing in the child waits on the parent's reservations.
  for (const DeferredPyRef& finalizer : copy.finalizers) {
    PyRef result = PyRef::steal(PyObject_CallNoArgs(finalizer.get()));
    if (!result) PyErr_Clear();
  }
  return wrap_dispatcher(std::move(child), callable_dispatcher_type().require());
}

const ClassSpec& dispatcher_spec() {
  static PyMethodDef methods[] = {
      fastcall_method<kAddSig, add>(
          "add",
          "add($self, callback, min_level=0, *, enabled, level_callback=None)\n--\n\n"
          "Register a runtime sink, starting dispatch when logging is enabled.\n\n"
          "Never replaces or waits for a generation. While dispatch is halted\n"
          "(see `stop`), the sink waits for the next `configure` (or `sync` with\n"
          "callbacks)."),
      remove_method(),
      configure_method(),
      sync_method(),
      disable_method(),
      stop_method(),
      flush_method(),
      idle_method(),
      enqueue_method(),
      noargs_method<metrics>(
          "metrics",
          "metrics($self)\n--\n\nReturn callable dispatch queue, drop, and error metrics."),
      reset_drop_count_method(),
      fastcall_method<kForkChildSig, fork_child>(
          "fork_child",
          "fork_child($self, *, enabled)\n--\n\n"
          "Build the dispatcher a forked child continues with.\n\n"
          "Worker threads do not survive fork and a lock held by a vanished thread\n"
          "can never be acquired, so nothing inherited is touched: registrations\n"
          "come from the lock-free snapshot, drop and error counts carry over, queued\n"
          "records are not delivered in the child, and finalizers that removal\n"
          "deferred run now since nothing waits on the parent's counts. The caller\n"
          "replaces its reference; the inherited dispatcher is never used again."),
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef getters[] = {
      getter<channel>("_channel", "The active queue generation, or `None` while dispatch is stopped."),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static const ClassSpec spec{
      kClass,
      "CallableDispatcher()\n--\n\n"
      "Own callable-sink registration, queueing, lifecycle, and metrics.\n\n"
      "`dict` lets tests monkeypatch lifecycle methods on the instance; `frozen`\n"
      "keeps every method available without a borrow check, since all state is\n"
      "behind its own synchronization.",
      sizeof(DispatcherObject),
      methods,
      getters,
      &new_trampoline<kNewSig, dispatcher_new>,
      &native_dealloc<DispatcherObject>,
      kInstanceDictOffset,
      nullptr,
  };
  return spec;
}

}  // namespace

ClassType& callable_dispatcher_type() {
  static ClassType type(dispatcher_spec());
  return type;
}

}  // namespace vorlisk::py
