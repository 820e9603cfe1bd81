#include "py/dispatch/dispatch_channel.h"

#include "core/base/duration.h"
#include "core/base/monotonic.h"
#include "py/dispatch/callback_depth.h"
#include "py/glue/gil.h"
#include "py/glue/extract.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

using ChannelObject = NativeObject<std::shared_ptr<QueueGeneration>>;

QueueGeneration& generation_of(PyObject* self) { return *native_of<ChannelObject>(self); }

template <class Read>
PyObject* read_locked(PyObject* self, Read read) {
  QueueGeneration& g = generation_of(self);
  std::lock_guard<std::mutex> lock(g.lock);
  return read(g);
}

PyObject* accepting(PyObject* self) {
  return read_locked(self, [](QueueGeneration& g) { return PyBool_FromLong(g.accepting); });
}

PyObject* qsize(PyObject* self) {
  return read_locked(self, [](QueueGeneration& g) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(g.records.size()));
  });
}

PyObject* unfinished_tasks(PyObject* self) {
  return read_locked(self, [](QueueGeneration& g) { return PyLong_FromUnsignedLongLong(g.unfinished); });
}

PyObject* blocked_producers(PyObject* self) {
  return read_locked(
      self, [](QueueGeneration& g) { return PyLong_FromUnsignedLongLong(g.blocked_producers); });
}

PyObject* is_alive(PyObject* self) {
  return PyBool_FromLong(generation_worker_running(generation_of(self)));
}

constexpr auto kWaitRetiredSig =
    method_signature("DispatchChannel", "wait_retired", {required("timeout")});
PyObject* wait_retired(PyObject* self, PyObject* const* args) {
  double seconds = 0.0;
  if (!extract_double(args[0], "timeout", &seconds)) return nullptr;
  // Negative and NaN wait not at all; too long saturates.
  const Duration timeout = stall_timeout_from_secs(seconds).value_or(Duration{});
  QueueGeneration& g = generation_of(self);
  const bool retired = without_gil([&] {
    std::unique_lock<std::mutex> lock(g.lock);
    const std::optional<MonotonicInstant> deadline = deadline_after(timeout);
    while (g.accepting) {
      if (!deadline) {
        g.progress.wait(lock);
      } else if (MonotonicInstant::now() >= *deadline) {
        break;
      } else {
        wait_until_deadline(g.progress, lock, *deadline);
      }
    }
    return !g.accepting;
  });
  return PyBool_FromLong(retired);
}

PyObject* retire(PyObject* self) {
  retire_generation(generation_of(self));
  Py_RETURN_NONE;
}

PyObject* flush(PyObject* self) {
  QueueGeneration& g = generation_of(self);
  without_gil([&] { drain_generation(g, std::nullopt); });
  Py_RETURN_NONE;
}

constexpr auto kCloseSig = method_signature("DispatchChannel", "close", {keyword_required("drain")});
PyObject* close(PyObject* self, PyObject* const* args) {
  bool drain = false;  // accepted for symmetry: both values drain
  if (!extract_bool(args[0], "drain", &drain)) return nullptr;
  QueueGeneration& g = generation_of(self);
  without_gil([&] {
    retire_generation(g);
    if (!inside_sink_callback()) drain_generation(g, std::nullopt);
  });
  Py_RETURN_NONE;
}

PyMethodDef g_methods[] = {
    noargs_method<is_alive>("is_alive",
                            "is_alive($self)\n--\n\nWhether the worker thread is still running."),
    fastcall_method<kWaitRetiredSig, wait_retired>(
        "wait_retired",
        "wait_retired($self, timeout)\n--\n\nWait up to `timeout` seconds for the generation to "
        "be retired."),
    noargs_method<retire>("retire", "retire($self)\n--\n\nReject new producers without waiting."),
    noargs_method<flush>(
        "flush",
        "flush($self)\n--\n\nWait for producers and queued work; no-op inside a sink callback."),
    fastcall_method<kCloseSig, close>(
        "close",
        "close($self, *, drain)\n--\n\nRetire, optionally drain, and join the worker; idempotent."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getters[] = {
    getter<accepting>("accepting", "Whether the generation still accepts new producers."),
    getter<qsize>("qsize", "Records queued and not yet taken by the worker."),
    getter<unfinished_tasks>("unfinished_tasks",
                             "Records accepted whose delivery has not completed."),
    getter<blocked_producers>("blocked_producers",
                              "Producers currently waiting for a free slot in block mode."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    "DispatchChannel",
    "Python handle to one queue generation, for lifecycle tests and metrics.",
    sizeof(ChannelObject),
    g_methods,
    g_getters,
    nullptr,
    &native_dealloc<ChannelObject>,
    0,
    nullptr,
};

}  // namespace

ClassType kDispatchChannelType(kSpec);

PyObject* new_dispatch_channel(std::shared_ptr<QueueGeneration> generation) {
  PyTypeObject* type = kDispatchChannelType.require();
  return new_native_object<ChannelObject>(type, std::move(generation));
}

}  // namespace vorlisk::py
