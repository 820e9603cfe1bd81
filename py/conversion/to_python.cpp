#include "py/conversion/to_python.h"

#include <string>
#include <vector>

#include "py/conversion/interned_name.h"

namespace vorlisk::py {
namespace {

InternedName g_loads("loads");

PyRef str_from(const std::string& text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef big_int_to_py(const std::string& digits) {
  PyRef json = PyRef::steal(PyImport_ImportModule("json"));
  if (!json) return PyRef();
  PyRef text = str_from(digits);
  PyObject* loads = g_loads.get();
  if (!text || loads == nullptr) return PyRef();
  return PyRef::steal(PyObject_CallMethodObjArgs(json.get(), loads, text.get(), nullptr));
}

PyRef list_to_py(const Value::List& items) {
  std::vector<PyRef> converted;
  converted.reserve(items.size());
  for (const Value& item : items) {
    PyRef object = value_to_py(item);
    if (!object) return PyRef();
    converted.push_back(std::move(object));
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(converted.size())));
  if (!list) return PyRef();
  for (size_t i = 0; i < converted.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), converted[i].release());  // steals
  }
  return list;
}

PyRef map_to_py(const FieldMap& map) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return PyRef();
  for (const FieldEntry& entry : map.entries()) {
    PyRef value = value_to_py(entry.value);
    if (!value) return PyRef();
    PyRef key = str_from(entry.key);
    if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyRef();
  }
  return dict;
}

}  // namespace

PyRef value_to_py(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null:
      return PyRef::borrow(Py_None);
    case Value::Kind::Bool:
      return PyRef::borrow(value.as_bool() ? Py_True : Py_False);
    case Value::Kind::Int:
      return PyRef::steal(PyLong_FromLongLong(value.as_int()));
    case Value::Kind::Float:
      return PyRef::steal(PyFloat_FromDouble(value.as_float()));
    case Value::Kind::Str:
      return str_from(value.as_str());
    case Value::Kind::List:
      return list_to_py(value.as_list());
    case Value::Kind::Map:
      return map_to_py(value.as_map());
    case Value::Kind::BigInt:
      return big_int_to_py(value.as_big_int());
  }
  return PyRef::borrow(Py_None);
}

FieldMap clone_fields(const FieldMap& fields) {
  // Values own their subtrees, so a copy is deep.
  return fields;
}

}  // namespace vorlisk::py
