#include "py/glue/class_type.h"

#include <string>
#include <vector>

#include "py/glue/py_ref.h"

namespace vorlisk::py {
namespace {

int traverse_instance_dict(PyObject* self, visitproc visit, void* arg) {
  // No extension code may enter while the collector traverses.
  int& count = thread_entry_count();
  const int saved = count;
  count = kTraverseEntryCount;
  int result = 0;
  if (PyObject* dict = reinterpret_cast<DictHeader*>(self)->dict) result = visit(dict, arg);
  count = saved;
  return result;
}

int clear_instance_dict(PyObject* self) {
  return guarded_entry<int>(-1, [&] {
    Py_CLEAR(reinterpret_cast<DictHeader*>(self)->dict);
    return 0;
  });
}

// The type's tables live as long as the type, which is forever.
template <class T>
T* leak(std::vector<T> items) {
  return (new std::vector<T>(std::move(items)))->data();
}

}  // namespace

namespace detail {

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot == nullptr) abort_process("PyBaseObject_Type should have tp_free");
  free_slot(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace detail

PyTypeObject* build_class_type(const ClassSpec& spec) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.tp_dealloc)});
  if (spec.tp_new != nullptr) slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new)});
  if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.nb_bool != nullptr) slots.push_back({Py_nb_bool, reinterpret_cast<void*>(spec.nb_bool)});

  std::vector<PyGetSetDef> getters;
  for (PyGetSetDef* g = spec.getters; g != nullptr && g->name != nullptr; ++g) getters.push_back(*g);
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (spec.tp_new == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  if (spec.dict_offset != 0) {
    flags |= Py_TPFLAGS_HAVE_GC;
    getters.push_back({"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
                       nullptr});
    PyMemberDef* members = leak<PyMemberDef>(
        {{"__dictoffset__", T_PYSSIZET, spec.dict_offset, READONLY, nullptr},
         {nullptr, 0, 0, 0, nullptr}});
    slots.push_back({Py_tp_members, members});
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&traverse_instance_dict)});
    slots.push_back({Py_tp_clear, reinterpret_cast<void*>(&clear_instance_dict)});
  }
  if (!getters.empty()) {
    getters.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    slots.push_back({Py_tp_getset, leak(std::move(getters))});
  }
  slots.push_back({0, nullptr});

  const std::string qualified = std::string("builtins.") + spec.name;
  const char* name =
      leak<char>(std::vector<char>(qualified.c_str(), qualified.c_str() + qualified.size() + 1));
  PyType_Spec type_spec{name, static_cast<int>(spec.basicsize), 0, flags, leak(std::move(slots))};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

PyTypeObject* ClassType::get_or_build() {
  if (type_ != nullptr) return type_;
  PyRef built = PyRef::steal(reinterpret_cast<PyObject*>(build_class_type(spec_)));
  // Building may run user code (a collection's finalizers) that needed the
  // type and built it meanwhile: the first one built stays, as instances
  // of it may exist already.
  if (type_ == nullptr) {
    type_ = reinterpret_cast<PyTypeObject*>(built.release());
  } else if (!built) {
    PyErr_Clear();
  }
  return type_;
}

PyTypeObject* ClassType::require() {
  if (PyTypeObject* type = get_or_build()) return type;
  PyErr_WriteUnraisable(nullptr);
  throw InternalError(std::string("failed to create type object for `") + spec_.name + "`");
}

}  // namespace vorlisk::py
