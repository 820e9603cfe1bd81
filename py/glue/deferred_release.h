// Releasing Python references from threads that may not hold the
// interpreter lock.
//
// Native state shared with worker threads (callable sinks, finalizers) can
// lose its last owner on a thread that does not hold the interpreter lock.
// Such a release is queued in a process-wide pool instead of being applied;
// the next entry into the extension on any thread applies the whole pool.
//
// Thread safety: release_reference and DeferredPyRef may be used from any
// thread; the pool has its own mutex, which is never held while a reference
// is released or another lock is taken, and which no forked child inherits
// held; entries take no lock while the pool is empty.
#pragma once

#include <utility>

#include "py/glue/python.h"

namespace vorlisk::py {

// Releases `obj` now when this thread holds the interpreter lock inside the
// extension, else queues it. Null is ignored.
void release_reference(PyObject* obj);

// Applies every queued release. Called by each entry (interpreter lock held).
void drain_deferred_releases();

// An owned reference whose release is safe on any thread.
class DeferredPyRef {
 public:
  DeferredPyRef() = default;
  static DeferredPyRef steal(PyObject* obj) { return DeferredPyRef(obj); }
  // Interpreter lock must be held.
  static DeferredPyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return DeferredPyRef(obj);
  }
  DeferredPyRef(DeferredPyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  DeferredPyRef& operator=(DeferredPyRef&& other) noexcept {
    if (this != &other) release_reference(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
    return *this;
  }
  DeferredPyRef(const DeferredPyRef&) = delete;
  DeferredPyRef& operator=(const DeferredPyRef&) = delete;
  ~DeferredPyRef() { release_reference(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // A new strong reference; interpreter lock must be held.
  DeferredPyRef clone() const { return borrow(obj_); }

 private:
  explicit DeferredPyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace vorlisk::py
