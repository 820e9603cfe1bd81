// Building the extension's classes and holding their native contents.
//
// Every class is a heap type named "builtins.<Class>" built once per process
// from a ClassSpec. No class can be subclassed or weakly referenced; a class
// without a constructor cannot be instantiated from Python; a class with an
// instance dictionary is garbage-collected (its dictionary is traversed and
// cleared).
//
// A class's instances are NativeObject<T> (or NativeDictObject<T>): the
// object header followed by a C++ value T, constructed when the object is
// made and destroyed by the deallocator, which runs with the entry
// bookkeeping of entry.h (a failure there is reported as unraisable).
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "py/glue/entry.h"
#include "py/glue/python.h"

namespace vorlisk::py {

struct ClassSpec {
  const char* name;          // bare class name
  const char* doc;           // first line: the constructor's text signature
  Py_ssize_t basicsize;      // sizeof the object struct
  PyMethodDef* methods;      // null-terminated table, or null
  PyGetSetDef* getters;      // null-terminated table, or null
  newfunc tp_new;            // null: cannot be instantiated from Python
  destructor tp_dealloc;     // native_dealloc<Object>
  Py_ssize_t dict_offset;    // non-zero: instance __dict__ at this offset (GC)
  inquiry nb_bool;           // truth value, or null
};

// Builds the type object; a new reference, or null with the error set.
PyTypeObject* build_class_type(const ClassSpec& spec);

// One class's type object, built on first use and kept for the life of the
// process. Used with the interpreter lock held.
class ClassType {
 public:
  explicit ClassType(const ClassSpec& spec) : spec_(spec) {}
  const char* name() const { return spec_.name; }

  // Borrowed type object, or null with the Python error set.
  PyTypeObject* get_or_build();

  // For use after import: a type that cannot be built is written through
  // the unraisable hook and the call fails internally with
  // "failed to create type object for `<Class>`".
  PyTypeObject* require();

 private:
  const ClassSpec& spec_;
  PyTypeObject* type_ = nullptr;
};

template <class T>
struct NativeObject {
  PyObject ob_base;
  T native;
};

struct DictHeader {
  PyObject ob_base;
  PyObject* dict;
};

template <class T>
struct NativeDictObject {
  DictHeader header;
  T native;
};

template <class Object>
auto& native_of(PyObject* self) {
  return reinterpret_cast<Object*>(self)->native;
}

// Allocates an instance of `type` and moves `value` into it. Returns a new
// reference, or null with the error set (`value` is then destroyed by the
// caller as usual).
template <class Object, class T>
PyObject* new_native_object(PyTypeObject* type, T&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&native_of<Object>(self)) std::decay_t<T>(std::forward<T>(value));
  return self;
}

namespace detail {
void free_instance(PyObject* self);
}  // namespace detail

// Py_tp_dealloc for NativeObject<T> and NativeDictObject<T>.
template <class Object>
void native_dealloc(PyObject* self) {
  guarded_teardown([&] {
    using T = std::decay_t<decltype(native_of<Object>(self))>;
    if constexpr (requires(Object o) { o.header; }) {
      PyObject_GC_UnTrack(self);
      Py_CLEAR(reinterpret_cast<Object*>(self)->header.dict);
    }
    native_of<Object>(self).~T();
  });
  detail::free_instance(self);
}

// ClassSpec::dict_offset for classes whose instances are NativeDictObject<T>.
inline constexpr Py_ssize_t kInstanceDictOffset = offsetof(DictHeader, dict);

}  // namespace vorlisk::py
