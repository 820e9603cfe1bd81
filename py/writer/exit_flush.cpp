#include "py/writer/exit_flush.h"

#include <memory>
#include <vector>

#include "py/dispatch/released_wait.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"
#include "py/writer/open_writers.h"

namespace vorlisk::py {
namespace {

// A worker inherited across fork() is not in this process, an abandoned
// writer is not ours to wait for, and a paused one (only memory writers
// pause) moves only on its owner's resume.
bool waits_at_exit(const WriterHandle& writer) {
  return writer.spawned_here() && !writer.abandoned() && !writer.metrics().paused;
}

// Starts a flush of every writer waited for before waiting for any, so
// that all their stall limits run from the same start.
PyObject* flush_writers_at_exit(PyObject* /*unused*/) {
  std::vector<std::shared_ptr<WriterHandle>> writers = open_writers();
  with_gil_released([&] {
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
  Py_RETURN_NONE;
}

PyMethodDef g_exit_flush = noargs_method<flush_writers_at_exit>(
    "_flush_writers_at_exit",
    "_flush_writers_at_exit()\n--\n\n"
    "Wait until every open writer has written the lines queued so far.");

bool g_registered = false;  // guarded by the interpreter lock

}  // namespace

bool register_exit_flush() {
  if (g_registered) return true;
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef hook = PyRef::steal(PyCMethod_New(&g_exit_flush, nullptr, nullptr, nullptr));
  if (!hook) return false;
  PyRef result = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!result) return false;
  g_registered = true;
  return true;
}

}  // namespace vorlisk::py
