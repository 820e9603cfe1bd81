#include "py/conversion/class_change_watch.h"

#include "py/glue/py_ref.h"

namespace vorlisk::py::detail {
namespace {

// 3.11 and 3.12 set and clear the type-cache flag as the watch reads it.
bool interpreter_keeps_the_flag() { return Py_Version >= 0x030B0000 && Py_Version < 0x030D0000; }

PyType_Slot g_no_slots[] = {{0, nullptr}};

// Nothing of its own: the class's layout and slots. It cannot be
// instantiated or subclassed.
PyType_Spec g_witness_spec = {"vorlisk._rust._ClassChangeWitness", 0, 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                              g_no_slots};

}  // namespace

ClassChangeWatch ClassChangeWatch::of(PyTypeObject* type) {
  if (!interpreter_keeps_the_flag()) return ClassChangeWatch();
  PyRef bases = PyRef::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(type)));
  PyObject* witness = bases ? PyType_FromSpecWithBases(&g_witness_spec, bases.get()) : nullptr;
  if (witness == nullptr) {
    PyErr_Clear();
    return ClassChangeWatch();
  }
  return ClassChangeWatch(reinterpret_cast<PyTypeObject*>(witness));
}

void ClassChangeWatch::arm(PyObject* name) {
  if (witness_ == nullptr) return;
  // The lookup fills the interpreter's cache for the subclass, which sets
  // its flag (and its bases').
  PyRef found = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(witness_), name));
  if (!found) PyErr_Clear();
}

}  // namespace vorlisk::py::detail
