// PyRef: an owned (strong) reference to a Python object.
//
// Destruction releases the reference and must happen with the interpreter
// lock held; native state that may be released on a thread without the lock
// uses DeferredPyRef (deferred_release.h) instead. On a thread that the
// interpreter is ending at exit, the reference is left (interpreter_exit.h).
#pragma once

#include <utility>

#include "py/glue/interpreter_exit.h"
#include "py/glue/python.h"

namespace vorlisk::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (e.g. a call's result); null stays null.
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    if (obj_ != nullptr && may_touch_interpreter_in_destructor()) Py_DECREF(obj_);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() { return std::exchange(obj_, nullptr); }
  PyRef new_ref() const { return borrow(obj_); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace vorlisk::py
