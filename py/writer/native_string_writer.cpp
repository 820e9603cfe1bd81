#include "py/writer/native_string_writer.h"

#include <memory>
#include <optional>
#include <string_view>

#include "core/base/duration.h"
#include "core/worker/writer_start.h"
#include "py/glue/interpreter_exit.h"
#include "py/glue/extract.h"
#include "py/glue/gil.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"
#include "py/writer/exit_flush.h"
#include "py/writer/log_methods.h"
#include "py/writer/open_writers.h"

namespace vorlisk::py {
namespace {

constexpr const char* kClass = "_NativeStringWriter";

// WriterHandle holds a mutex and cannot move; the object keeps it boxed,
// shared with the exit write-out while that waits for it (exit_flush.h).
using WriterObject = NativeObject<std::shared_ptr<WriterHandle>>;

PyObject* bool_object(bool value) { return PyBool_FromLong(value ? 1 : 0); }

// ---- construction ----------------------------------------------------------

constexpr auto kNewSig =
    method_signature(kClass, "__new__",
                     {required("maxsize"), optional("paused"), optional("fail_after"),
                      optional("target"), optional("file_path"), optional("file_max_bytes"),
                      optional("file_backup_count"), optional("also_stdout")});

bool convert_options(PyObject* const* args, WriterOptions& options) {
  if (!extract_uint64(args[0], "maxsize", &options.maxsize)) return false;
  if (args[1] != nullptr && !extract_bool(args[1], "paused", &options.paused)) return false;
  if (!is_absent(args[2])) {
    uint64_t fail_after = 0;
    if (!extract_uint64(args[2], "fail_after", &fail_after)) return false;
    options.fail_after = fail_after;
  }
  std::string_view text;
  if (args[3] != nullptr) {
    if (!extract_strict_text(args[3], "target", &text)) return false;
    options.target.assign(text);
  }
  if (!is_absent(args[4])) {
    if (!extract_strict_text(args[4], "file_path", &text)) return false;
    options.file_path.emplace(text);
  }
  if (args[5] != nullptr && !extract_uint64(args[5], "file_max_bytes", &options.file_max_bytes)) {
    return false;
  }
  if (args[6] != nullptr &&
      !extract_uint64(args[6], "file_backup_count", &options.file_backup_count)) {
    return false;
  }
  if (args[7] != nullptr && !extract_bool(args[7], "also_stdout", &options.also_stdout)) {
    return false;
  }
  return true;
}

PyObject* writer_new(PyTypeObject* type, PyObject* const* args) {
  WriterOptions options;
  if (!convert_options(args, options)) return nullptr;
  // Directories, files and the thread are made without the interpreter lock.
  auto started = without_gil([&] { return start_configured_writer(options); });
  if (auto* error = std::get_if<WriterStartError>(&started)) {
    if (error->kind == WriterStartError::Kind::no_thread) throw InternalError(error->message);
    PyErr_SetString(PyExc_ValueError, error->message.c_str());
    return nullptr;
  }
  // Should the object not come to be, the handle closes and joins the new
  // worker as it goes.
  auto handle = std::make_shared<WriterHandle>(std::get<WriterParts>(std::move(started)));
  track_open_writer(handle);
  PyObject* self = new_native_object<WriterObject>(type, handle);
  if (self == nullptr) untrack_open_writer(*handle);
  return self;
}

// ---- pushes ----------------------------------------------------------------

bool message_arg(PyObject* arg, std::string& line) {
  std::string_view text;
  if (!extract_strict_text(arg, "message", &text)) return false;
  line.assign(text);
  return true;
}

constexpr auto kTryEnqueueSig = method_signature(kClass, "try_enqueue", {required("message")});
PyObject* try_enqueue(PyObject* self, PyObject* const* args) {
  std::string line;
  if (!message_arg(args[0], line)) return nullptr;
  WriterHandle& writer = writer_of(self);
  const bool accepted = line_queue_try_push(writer.queue(), line) == PushStatus::accepted;
  if (accepted) write_through_after_exit(writer);
  return bool_object(accepted);
}

constexpr auto kEnqueueBlockingSig =
    method_signature(kClass, "enqueue_blocking", {required("message")});
PyObject* enqueue_blocking(PyObject* self, PyObject* const* args) {
  std::string line;
  if (!message_arg(args[0], line)) return nullptr;
  return bool_object(enqueue_line(writer_of(self), std::move(line), true) ==
                     EnqueueOutcome::accepted);
}

constexpr auto kEnqueueOutcomeSig =
    method_signature(kClass, "enqueue_outcome", {required("message"), required("blocking")});
PyObject* enqueue_outcome(PyObject* self, PyObject* const* args) {
  std::string line;
  bool blocking = false;
  if (!message_arg(args[0], line)) return nullptr;
  if (!extract_bool(args[1], "blocking", &blocking)) return nullptr;
  return outcome_name_object(enqueue_line(writer_of(self), std::move(line), blocking));
}

// ---- waits and lifecycle ----------------------------------------------------

bool stall_timeout_arg(PyObject* arg, std::optional<double>& seconds) {
  if (is_absent(arg)) return true;
  double value = 0.0;
  if (!extract_double(arg, "stall_timeout", &value)) return false;
  seconds = value;
  return true;
}

constexpr auto kFlushSig = method_signature(kClass, "flush", {optional("stall_timeout")});
PyObject* flush(PyObject* self, PyObject* const* args) {
  std::optional<double> seconds;
  if (!stall_timeout_arg(args[0], seconds)) return nullptr;
  WriterHandle& writer = writer_of(self);
  const uint64_t undrained =
      without_gil([&] { return writer.flush(stall_timeout_from_secs(seconds)); });
  return PyLong_FromUnsignedLongLong(undrained);
}

constexpr auto kCloseSig = method_signature(kClass, "close", {optional("stall_timeout")});
PyObject* close(PyObject* self, PyObject* const* args) {
  std::optional<double> seconds;
  if (!stall_timeout_arg(args[0], seconds)) return nullptr;
  WriterHandle& writer = writer_of(self);
  const uint64_t undrained =
      without_gil([&] { return writer.close(stall_timeout_from_secs(seconds)); });
  return PyLong_FromUnsignedLongLong(undrained);
}

PyObject* resume(PyObject* self) {
  writer_of(self).resume();
  Py_RETURN_NONE;
}

PyObject* abandon(PyObject* self) {
  writer_of(self).abandon();
  Py_RETURN_NONE;
}

// Dropping a writer that is still open closes it as close() does, waiting
// for the worker with the interpreter lock released: its sink may only make
// progress through a Python thread (standard output piped to a reader thread
// of this process). No other thread can reach the object any more, and the
// handle stays in it until the wait is over.
void close_dropped_writer(WriterHandle& writer) {
  // An abandoned or inherited writer is only let go, by ~WriterHandle.
  if (writer.abandoned() || !writer.spawned_here()) return;
  if (interpreter_finalizing()) {
    // Taking the interpreter lock back now may end this thread or find the
    // interpreter half torn down, and no other Python thread runs any more:
    // the lock stays held (the worker never needs it). Nothing can unstick a
    // sink from here on, so a stall ends the wait as at exit.
    writer.close(kExitStallLimit);
    return;
  }
  without_gil([&] { writer.close(std::nullopt); });
}

void writer_dealloc(PyObject* self) {
  guarded_teardown([&] {
    WriterHandle& writer = *native_of<WriterObject>(self);
    untrack_open_writer(writer);
    close_dropped_writer(writer);
  });
  native_dealloc<WriterObject>(self);
}

// ---- reporting --------------------------------------------------------------

PyObject* messages(PyObject* self) {
  const std::vector<std::string> lines = writer_of(self).messages();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < lines.size(); ++i) {
    PyObject* text =
        PyUnicode_FromStringAndSize(lines[i].data(), static_cast<Py_ssize_t>(lines[i].size()));
    if (text == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text);  // steals `text`
  }
  return list.release();
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* metrics(PyObject* self) {
  const WriterMetrics m = writer_of(self).metrics();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool built = set_item(d, "enqueued", PyLong_FromUnsignedLongLong(m.enqueued)) &&
                     set_item(d, "dropped", PyLong_FromUnsignedLongLong(m.dropped)) &&
                     set_item(d, "dequeued", PyLong_FromUnsignedLongLong(m.dequeued)) &&
                     set_item(d, "written", PyLong_FromUnsignedLongLong(m.written)) &&
                     set_item(d, "sink_errors", PyLong_FromUnsignedLongLong(m.sink_errors)) &&
                     set_item(d, "depth", PyLong_FromUnsignedLongLong(m.depth)) &&
                     set_item(d, "maxsize", PyLong_FromUnsignedLongLong(m.maxsize)) &&
                     set_item(d, "in_flight", PyLong_FromUnsignedLongLong(m.in_flight)) &&
                     set_item(d, "closed", bool_object(m.closed)) &&
                     set_item(d, "worker_done", bool_object(m.worker_done)) &&
                     set_item(d, "paused", bool_object(m.paused));
  return built ? dict.release() : nullptr;
}

PyObject* maxsize(PyObject* self) { return PyLong_FromUnsignedLongLong(writer_of(self).maxsize()); }

// ---- the class ----------------------------------------------------------------

PyMethodDef g_methods[] = {
    fastcall_method<kTryEnqueueSig, try_enqueue>("try_enqueue",
                                                 "try_enqueue($self, message)\n--\n\n"),
    fastcall_method<kEnqueueBlockingSig, enqueue_blocking>(
        "enqueue_blocking", "enqueue_blocking($self, message)\n--\n\n"),
    fastcall_method<kEnqueueOutcomeSig, enqueue_outcome>(
        "enqueue_outcome", "enqueue_outcome($self, message, blocking)\n--\n\n"),
    render_enqueue_json_method(),
    render_enqueue_json_outcome_method(),
    log_method(),
    log_capture_method(),
    fastcall_method<kFlushSig, flush>("flush", "flush($self, stall_timeout=None)\n--\n\n"),
    fastcall_method<kCloseSig, close>("close", "close($self, stall_timeout=None)\n--\n\n"),
    noargs_method<resume>("resume", "resume($self)\n--\n\n"),
    noargs_method<abandon>("abandon", "abandon($self)\n--\n\n"),
    noargs_method<messages>("messages", "messages($self)\n--\n\n"),
    noargs_method<metrics>("metrics", "metrics($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getters[] = {
    getter<maxsize>("maxsize", "The queue's capacity; 0 means unbounded."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    kClass,
    "_NativeStringWriter(maxsize, paused=False, fail_after=None, target=\"memory\", "
    "file_path=None, file_max_bytes=0, file_backup_count=0, also_stdout=False)\n--\n\n",
    sizeof(WriterObject),
    g_methods,
    g_getters,
    &new_trampoline<kNewSig, writer_new>,
    &writer_dealloc,
    0,
    nullptr,
};

}  // namespace

ClassType kNativeStringWriterType(kSpec);

WriterHandle& writer_of(PyObject* self) { return *native_of<WriterObject>(self); }

EnqueueOutcome enqueue_line(WriterHandle& writer, std::string line, bool blocking) {
  const EnqueueOutcome outcome =
      enqueue_line_with_outcome(writer.queue(), std::move(line), blocking,
                                [](auto&& wait) { without_gil(wait); });
  if (outcome == EnqueueOutcome::accepted) write_through_after_exit(writer);
  return outcome;
}

PyObject* outcome_name_object(EnqueueOutcome outcome) {
  return PyUnicode_FromString(enqueue_outcome_name(outcome));
}

}  // namespace vorlisk::py
