// Finding the standard library's modules and types, and reading their
// objects' attributes straight through the data descriptor the type defines
// (a member or a getset): the value that reading the attribute gives,
// without the lookup, and without any user code, whatever a subclass or an
// instance may define under the same name.
//
// Interpreter lock held.
#pragma once

#include <optional>

#include "py/conversion/interned_name.h"
#include "py/glue/py_ref.h"
#include "py/glue/python.h"

namespace vorlisk::py::detail {

// The module of that name in sys.modules, held; null, with no error set,
// when it was never imported (nothing is imported here: no object of a
// module's type exists before its module was imported).
inline PyRef imported_module(InternedName& name) {
  PyObject* key = name.get();
  PyObject* module =
      key != nullptr ? PyDict_GetItemWithError(PyImport_GetModuleDict(), key) : nullptr;
  if (module == nullptr) PyErr_Clear();
  return PyRef::borrow(module);
}

// A data descriptor found on a type, held while the lookups that go with
// it are still under way.
struct FoundDescriptor {
  PyRef descriptor;
  descrgetfunc get = nullptr;
};

// The data descriptor (one with its own __get__ and __set__) that `type`
// resolves `name` to; nothing, with no error set, when there is none.
inline std::optional<FoundDescriptor> find_data_descriptor(PyObject* type, const char* name) {
  PyRef found = PyRef::steal(PyObject_GetAttrString(type, name));
  if (!found) {
    PyErr_Clear();
    return std::nullopt;
  }
  PyTypeObject* kind = Py_TYPE(found.get());
  const auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(kind, Py_tp_descr_get));
  if (get == nullptr || PyType_GetSlot(kind, Py_tp_descr_set) == nullptr) return std::nullopt;
  return FoundDescriptor{std::move(found), get};
}

// Reads one attribute through a found descriptor, which it keeps for the
// life of the process (never released: process-wide tables outlive the
// interpreter's finalisation).
class DescriptorReader {
 public:
  DescriptorReader() = default;
  explicit DescriptorReader(FoundDescriptor found)
      : descriptor_(found.descriptor.release()), get_(found.get) {}

  PyObject* descriptor() const { return descriptor_; }
  // A new reference, or null with the Python error set.
  PyRef read(PyObject* obj) const {
    return PyRef::steal(get_(descriptor_, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
  }

 private:
  PyObject* descriptor_ = nullptr;
  descrgetfunc get_ = nullptr;
};

}  // namespace vorlisk::py::detail
