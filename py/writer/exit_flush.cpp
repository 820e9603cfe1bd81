#include "py/writer/exit_flush.h"

#include <mutex>
#include <unordered_map>
#include <vector>

#include "py/dispatch/released_wait.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

// The writers whose objects exist, without owning them.
class TrackedWriters {
 public:
  void add(const std::shared_ptr<WriterHandle>& writer) {
    std::lock_guard lock(mutex_);
    writers_.insert_or_assign(writer.get(), writer);
  }

  void remove(const WriterHandle& writer) {
    std::lock_guard lock(mutex_);
    writers_.erase(&writer);
  }

  // Shared ownership of every tracked writer, so that an object dropped on
  // another thread while the exit handler waits cannot free its writer.
  std::vector<std::shared_ptr<WriterHandle>> live() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<WriterHandle>> result;
    result.reserve(writers_.size());
    for (const auto& [key, writer] : writers_) {
      if (auto owned = writer.lock()) result.push_back(std::move(owned));
    }
    return result;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<const WriterHandle*, std::weak_ptr<WriterHandle>> writers_;
};

// Never destroyed: writers may outlive the C++ runtime's static destructors.
TrackedWriters& tracked_writers() {
  static auto* writers = new TrackedWriters;
  return *writers;
}

// A worker inherited across fork() is not in this process (and the parent's
// locks may be held for good), an abandoned writer is not ours to wait for,
// and a paused one (only memory writers pause) moves only on its owner's
// resume.
bool waits_at_exit(const WriterHandle& writer) {
  return writer.spawned_here() && !writer.abandoned() && !writer.metrics().paused;
}

PyObject* flush_writers_at_exit(PyObject* /*unused*/) {
  std::vector<std::shared_ptr<WriterHandle>> writers = tracked_writers().live();
  with_gil_released([&] {
    for (const auto& writer : writers) {
      if (waits_at_exit(*writer)) writer->flush(kExitStallLimit);
    }
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

void track_writer_for_exit(const std::shared_ptr<WriterHandle>& writer) {
  tracked_writers().add(writer);
}

void untrack_writer_for_exit(const WriterHandle& writer) { tracked_writers().remove(writer); }

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
