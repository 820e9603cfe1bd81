// The record path: enqueue, idle and reset_drop_count.
#include <charconv>
#include <string>
#include <string_view>

#include "py/dispatch/callback_depth.h"
#include "py/dispatch/dispatcher_methods.h"
#include "py/glue/gil.h"
#include "py/dispatch/warn.h"
#include "py/glue/extract.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

enum class PushOutcome { kQueued, kDropped, kAbandoned };

bool has_room(const QueueGeneration& g) {
  // maxsize 0 wraps to the largest bound: unbounded.
  return static_cast<uint64_t>(g.records.size()) <= g.maxsize - 1;
}

void push(QueueGeneration& g, DeliveryRecord& record) {
  g.records.push_back(std::move(record));
  ++g.unfinished;
  ++g.enqueued;
  g.work.notify_one();
}

void finish_producer(QueueGeneration& g) {
  ++g.finished;
  --g.producers_in_progress;
  if (g.producers_in_progress == 0) {
    g.progress.notify_all();
    // A retired generation's worker waits for the last producer.
    g.work.notify_all();
  }
  note_finished(g);
}

// Pushes an admitted producer's record, or gives it up. Interpreter lock
// held on entry and exit, released while a blocking producer waits.
PushOutcome push_admitted(QueueGeneration& g, DeliveryRecord& record, bool blocking) {
  {
    std::lock_guard<std::mutex> lock(g.lock);
    if (g.abandoned || has_room(g) || !blocking) {
      const PushOutcome outcome = g.abandoned    ? PushOutcome::kAbandoned
                                  : has_room(g) ? PushOutcome::kQueued
                                                : PushOutcome::kDropped;
      if (outcome == PushOutcome::kQueued) push(g, record);
      finish_producer(g);
      return outcome;
    }
  }
  return without_gil([&] {
    std::unique_lock<std::mutex> lock(g.lock);
    ++g.blocked_producers;
    if (g.maxsize != 0) {
      g.progress.wait(lock, [&] { return g.records.size() < g.maxsize || g.abandoned; });
    }
    --g.blocked_producers;
    // Retiring alone does not stop an admitted producer.
    const PushOutcome outcome = g.abandoned ? PushOutcome::kAbandoned : PushOutcome::kQueued;
    if (outcome == PushOutcome::kQueued) push(g, record);
    finish_producer(g);
    return outcome;
  });
}

void warn_dropped(uint64_t count) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, count).ptr;
  warn("vorlisk callable sinks dropped " + std::string(digits, end) +
           " delivery record(s): queue full",
       2);
}

constexpr auto kEnqueueSig = method_signature(
    "CallableDispatcher", "enqueue",
    {required("line"), required("level"), keyword_required("overflow")});
PyObject* enqueue(PyObject* self, PyObject* const* args) {
  std::string_view line;
  int64_t level = 0;
  std::string_view overflow;
  if (!extract_strict_text(args[0], "line", &line) || !extract_int64(args[1], "level", &level) ||
      !extract_strict_text(args[2], "overflow", &overflow)) {
    return nullptr;
  }
  const bool blocking = overflow == "block";
  // A sink's own logging never feeds or blocks its worker.
  if (inside_sink_callback()) Py_RETURN_TRUE;

  const std::shared_ptr<DispatcherState>& state = state_of(self);
  std::shared_ptr<QueueGeneration> generation;
  SinkList sinks;
  {
    RegistryGuard guard(*state);
    SinkRegistry& registry = guard.registry();
    if (!registry.active) Py_RETURN_TRUE;
    const SinkList& chosen = sinks_for_level(guard, level);
    if (chosen->entries.empty()) Py_RETURN_TRUE;
    QueueGeneration& active = *registry.active->generation;
    {
      std::lock_guard<std::mutex> lock(active.lock);
      if (!active.accepting) Py_RETURN_FALSE;
      ++active.producers_in_progress;
      ++active.admitted;
    }
    generation = registry.active->generation;
    sinks = chosen;
    // Reserved before the lock is let go, so that a removal drains them.
    for (const SinkEntry& entry : sinks->entries) {
      if (entry.is_runtime()) ++registry.in_flight_counts[entry.token];
    }
  }

  DeliveryRecord record{std::string(line), sinks, level};
  const PushOutcome outcome = push_admitted(*generation, record, blocking);
  if (outcome == PushOutcome::kQueued) Py_RETURN_TRUE;
  run_deferred_finalizers(*state, *sinks);
  if (outcome == PushOutcome::kDropped) {
    const uint64_t count = state->dropped_count.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count == 1 || count % 1000 == 0) warn_dropped(count);
  }
  Py_RETURN_FALSE;
}

PyObject* idle(PyObject* self) {
  return PyBool_FromLong(!state_of(self)->dispatch_active.load(std::memory_order_acquire));
}

PyObject* reset_drop_count(PyObject* self) {
  DispatcherState& state = *state_of(self);
  state.dropped_count.store(0, std::memory_order_relaxed);
  state.error_count.store(0, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef enqueue_method() {
  return fastcall_method<kEnqueueSig, enqueue>(
      "enqueue",
      "enqueue($self, line, level, *, overflow)\n--\n\n"
      "Queue a record, reserving its sinks before removal can drain them.\n\n"
      "Logs emitted inside a sink callback, on the dispatch worker or during a\n"
      "raw stdlib delivery, bypass callable delivery. They still reach the\n"
      "native writer, but cannot recursively feed or block their own worker.");
}

PyMethodDef idle_method() {
  return noargs_method<idle>(
      "idle",
      "idle($self)\n--\n\nTrue when no callable sink can receive a line.\n\n"
      "Read without the lock: a stale `true` (a sink being added concurrently)\n"
      "only means this record predates the sink, exactly as if it had been\n"
      "logged one call sooner.");
}

PyMethodDef reset_drop_count_method() {
  return noargs_method<reset_drop_count>(
      "reset_drop_count",
      "reset_drop_count($self)\n--\n\nReset the drop and error counters for isolated tests.");
}

}  // namespace vorlisk::py
