#include "py/writer/exit_flush.h"

#include <memory>
#include <vector>

#include "core/base/fork_guard.h"
#include "py/glue/gil.h"
#include "py/glue/interpreter_exit.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"
#include "py/writer/open_writers.h"

namespace vorlisk::py {
namespace {

// fork_count() + 1 in the process that wrote out, 0 before: a forked child
// has not written out, whatever its parent did. Guarded by the interpreter
// lock.
uint64_t g_written_out_in = 0;

// Set when a push's wait after the write-out stalled. Guarded by the
// interpreter lock.
bool g_write_through_stalled = false;

bool written_out_here() { return g_written_out_in == fork_count() + 1; }

// A worker inherited across fork() is not in this process, an abandoned
// writer is not ours to wait for, and a paused one (only memory writers
// pause) moves only on its owner's resume.
bool waits_at_exit(const WriterHandle& writer) {
  return writer.spawned_here() && !writer.abandoned() && !writer.metrics().paused;
}

void write_out_open_writers() {
  if (written_out_here()) return;
  g_written_out_in = fork_count() + 1;
  g_write_through_stalled = false;
  std::vector<std::shared_ptr<WriterHandle>> writers = open_writers();
  without_gil([&] {
    std::vector<WriterHandle::PendingFlush> flushes;
    flushes.reserve(writers.size());
    for (const auto& writer : writers) {
      if (waits_at_exit(*writer)) flushes.push_back(writer->start_flush(kExitStallLimit));
    }
    for (WriterHandle::PendingFlush& flush : flushes) flush.wait();
    flushes.clear();
    // A writer whose object was dropped meanwhile may go here; its
    // deallocator has closed it, so this only lets go.
    writers.clear();
  });
}

PyObject* flush_writers_at_exit(PyObject* /*unused*/) {
  // The thread that runs the exit handlers goes on to finalize.
  note_exit_begins();
  write_out_open_writers();
  Py_RETURN_NONE;
}

// `frame.<name>`, or null with no error set.
PyRef attribute(PyObject* object, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
  if (!value) PyErr_Clear();
  return value;
}

bool is_text(PyObject* object, const char* text) {
  return object != nullptr && PyUnicode_Check(object) &&
         PyUnicode_CompareWithASCIIString(object, text) == 0;
}

// Whether `frame` runs threading._shutdown.
bool runs_threading_shutdown(PyObject* frame) {
  PyRef code = attribute(frame, "f_code");
  if (!code) return false;
  PyRef name = attribute(code.get(), "co_name");
  if (!is_text(name.get(), "_shutdown")) return false;
  PyRef globals = attribute(frame, "f_globals");
  if (!globals || !PyDict_Check(globals.get())) return false;
  return is_text(PyDict_GetItemString(globals.get(), "__name__"), "threading");
}

// Whether threading._shutdown, which runs this hook, was called by Python
// code. The interpreter's exit calls it from C, with no Python frame below.
bool shutdown_called_from_python() {
  PyRef frame = PyRef::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
  while (frame && frame.get() != Py_None) {
    if (runs_threading_shutdown(frame.get())) {
      PyRef caller = attribute(frame.get(), "f_back");
      return caller && caller.get() != Py_None;
    }
    frame = attribute(frame.get(), "f_back");
  }
  return false;
}

PyObject* flush_writers_at_thread_shutdown(PyObject* /*unused*/) {
  if (shutdown_called_from_python()) write_out_open_writers();
  Py_RETURN_NONE;
}

PyMethodDef g_exit_flush = noargs_method<flush_writers_at_exit>(
    "_flush_writers_at_exit",
    "_flush_writers_at_exit()\n--\n\n"
    "Wait until every open writer has written the lines queued so far.");

PyMethodDef g_thread_shutdown_flush = noargs_method<flush_writers_at_thread_shutdown>(
    "_flush_writers_at_thread_shutdown",
    "_flush_writers_at_thread_shutdown()\n--\n\n"
    "In a process that ends right after threading's shutdown, wait until every open writer "
    "has written the lines queued so far.");

// Calls `module.<function>(hook)`.
bool register_hook(const char* module_name, const char* function, PyMethodDef* definition) {
  PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) return false;
  PyRef hook = PyRef::steal(PyCMethod_New(definition, nullptr, nullptr, nullptr));
  if (!hook) return false;
  PyRef result = PyRef::steal(PyObject_CallMethod(module.get(), function, "O", hook.get()));
  return static_cast<bool>(result);
}

// threading's hook is private: where it is missing, or refused because the
// shutdown has begun, the exit handler alone remains.
bool register_thread_shutdown_hook() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  if (!threading) return false;
  if (!PyObject_HasAttrString(threading.get(), "_register_atexit")) return true;
  if (register_hook("threading", "_register_atexit", &g_thread_shutdown_flush)) return true;
  if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return false;
  PyErr_Clear();
  return true;
}

// Guarded by the interpreter lock.
bool g_exit_hook_registered = false;
bool g_thread_shutdown_hook_registered = false;

}  // namespace

void write_through_after_exit(WriterHandle& writer) {
  if (g_written_out_in == 0 || g_write_through_stalled || !written_out_here()) return;
  if (!waits_at_exit(writer)) return;
  const uint64_t undrained = without_gil([&] { return writer.flush(kExitStallLimit); });
  if (undrained != 0) g_write_through_stalled = true;
}

bool register_exit_flush() {
  if (!g_exit_hook_registered) {
    if (!register_hook("atexit", "register", &g_exit_flush)) return false;
    g_exit_hook_registered = true;
  }
  if (!g_thread_shutdown_hook_registered) {
    if (!register_thread_shutdown_hook()) return false;
    g_thread_shutdown_hook_registered = true;
  }
  return true;
}

}  // namespace vorlisk::py
