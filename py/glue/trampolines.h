// Wrappers that carry each calling convention into a native body, with the
// entry bookkeeping of entry.h and the argument binding of signature.h.
//
//   fastcall_method<Sig, Body>(name, doc)   METH_FASTCALL | METH_KEYWORDS;
//       Body: PyObject* (PyObject* self_or_module, PyObject* const* args),
//       args[i] the i-th parameter of Sig (null when not passed).
//   noargs_method<Body>(name, doc)          METH_NOARGS;
//       Body: PyObject* (PyObject* self_or_module).
//   getter<Body>(name, doc)                 a read-only attribute;
//       Body: PyObject* (PyObject* self).
//   new_trampoline<Sig, Body>               Py_tp_new;
//       Body: PyObject* (PyTypeObject* subtype, PyObject* const* args).
//   bool_trampoline<Body>                   Py_nb_bool;
//       Body: int (PyObject* self), 1, 0 or -1 with an error set.
//
// Bodies return a new reference, or null with the Python error set; a C++
// exception becomes the panic exception (entry.h).
#pragma once

#include "py/glue/entry.h"
#include "py/glue/signature.h"

namespace vorlisk::py {

using FastBody = PyObject* (*)(PyObject*, PyObject* const*);
using NoArgsBody = PyObject* (*)(PyObject*);
using NewBody = PyObject* (*)(PyTypeObject*, PyObject* const*);
using BoolBody = int (*)(PyObject*);

template <const auto& Sig, FastBody Body>
PyObject* fastcall_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[Sig.size() == 0 ? 1 : Sig.size()];
    if (!bind_fastcall(Sig.view(), args, nargs, kwnames, bound)) return nullptr;
    return Body(self, bound);
  });
}

template <NoArgsBody Body>
PyObject* noargs_trampoline(PyObject* self, PyObject* /*unused*/) {
  return guarded_entry<PyObject*>(nullptr, [&] { return Body(self); });
}

template <NoArgsBody Body>
PyObject* getter_trampoline(PyObject* self, void* /*closure*/) {
  return guarded_entry<PyObject*>(nullptr, [&] { return Body(self); });
}

template <const auto& Sig, NewBody Body>
PyObject* new_trampoline(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guarded_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[Sig.size() == 0 ? 1 : Sig.size()];
    if (!bind_tuple_and_dict(Sig.view(), args, kwargs, bound)) return nullptr;
    return Body(subtype, bound);
  });
}

template <BoolBody Body>
int bool_trampoline(PyObject* self) {
  return guarded_entry<int>(-1, [&] { return Body(self); });
}

template <const auto& Sig, FastBody Body>
PyMethodDef fastcall_method(const char* name, const char* doc) {
  return {name,
          reinterpret_cast<PyCFunction>(
              reinterpret_cast<void (*)(void)>(&fastcall_trampoline<Sig, Body>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

template <NoArgsBody Body>
PyMethodDef noargs_method(const char* name, const char* doc) {
  return {name, &noargs_trampoline<Body>, METH_NOARGS, doc};
}

template <NoArgsBody Body>
PyGetSetDef getter(const char* name, const char* doc) {
  return {name, &getter_trampoline<Body>, nullptr, doc, nullptr};
}

}  // namespace vorlisk::py
