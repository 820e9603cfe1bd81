// Objects of the less common kinds, recognised by probing their type for
// attributes. A probe that finds nothing costs an AttributeError, so these
// run only after the common kinds were ruled out by type identity and flags.

#include "py/conversion/convert_internal.h"
#include "py/conversion/interned_name.h"
#include "py/conversion/stdlib_objects.h"
#include "py/conversion/text.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py::detail {
namespace {

InternedName g_members("__members__");
InternedName g_value("value");
InternedName g_isoformat("isoformat");
InternedName g_hex("hex");
InternedName g_int("int");
InternedName g_dataclass_fields("__dataclass_fields__");
InternedName g_fields("fields");
InternedName g_name("name");

enum class Probe { Absent, Present, Failed };

// Looks `name` up on the type, not on the object: an AttributeError means
// absent; any other exception fails the probe (and stays set).
Probe probe(PyTypeObject* type, InternedName& name) {
  PyObject* name_object = name.get();
  if (name_object == nullptr) return Probe::Failed;
  PyRef found = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name_object));
  if (found) return Probe::Present;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Probe::Failed;
  PyErr_Clear();
  return Probe::Absent;
}

PyRef get_attribute(PyObject* obj, InternedName& name) {
  PyObject* name_object = name.get();
  if (name_object == nullptr) return PyRef();
  return PyRef::steal(PyObject_GetAttr(obj, name_object));
}

// The text of a call's result, which must be a str.
Converted text_result(PyRef result) {
  if (!result) return std::nullopt;
  if (!PyUnicode_Check(result.get())) {
    raise_type_mismatch(result.get(), "str");
    return std::nullopt;
  }
  return Value::str(py_str_to_utf8(result.get()));
}

Converted call_isoformat(PyObject* obj) {
  PyObject* name = g_isoformat.get();
  if (name == nullptr) return std::nullopt;
  return text_result(PyRef::steal(PyObject_CallMethodObjArgs(obj, name, nullptr)));
}

Converted enum_member_value(PyObject* member, uint64_t depth, ConversionStack& stack) {
  PyRef value = get_attribute(member, g_value);
  if (!value) return std::nullopt;
  return convert_value(value.get(), depth + 1, stack);
}

// A map of the fields in dataclasses.fields() order; names are unique, so
// entries are appended without a search.
Converted convert_dataclass(PyObject* obj, uint64_t depth, ConversionStack& stack) {
  PyRef module = PyRef::steal(PyImport_ImportModule("dataclasses"));
  if (!module) return std::nullopt;
  PyObject* fields_name = g_fields.get();
  if (fields_name == nullptr) return std::nullopt;
  PyRef fields =
      PyRef::steal(PyObject_CallMethodObjArgs(module.get(), fields_name, obj, nullptr));
  if (!fields) return std::nullopt;
  if (!PyTuple_Check(fields.get())) {
    raise_type_mismatch(fields.get(), "tuple");
    return std::nullopt;
  }
  const Py_ssize_t count = PyTuple_Size(fields.get());
  FieldMap map;
  map.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef name = get_attribute(PyTuple_GetItem(fields.get(), i), g_name);
    if (!name) return std::nullopt;
    if (!PyUnicode_Check(name.get())) {
      raise_type_mismatch(name.get(), "str");
      return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) return std::nullopt;
    PyRef attribute = PyRef::steal(PyObject_GetAttr(obj, name.get()));
    if (!attribute) return std::nullopt;
    Converted value = convert_value(attribute.get(), depth + 1, stack);
    if (!value) return std::nullopt;
    map.append(std::string(text, static_cast<size_t>(size)), std::move(*value));
  }
  return Value::map(std::move(map));
}

// A type with hex and int attributes whose name is exactly "UUID": the
// uuid module's class, or one shaped like it.
Probe looks_like_uuid(PyTypeObject* type) {
  Probe found = probe(type, g_hex);
  if (found != Probe::Present) return found;
  found = probe(type, g_int);
  if (found != Probe::Present) return found;
  return py_type_name(type) == "UUID" ? Probe::Present : Probe::Absent;
}

}  // namespace

Converted convert_special_object(PyObject* obj, uint64_t depth, ConversionStack& stack) {
  if (std::optional<Converted> known = convert_stdlib_object(obj)) return std::move(*known);
  return convert_probed_object(obj, depth, stack);
}

Converted convert_probed_object(PyObject* obj, uint64_t depth, ConversionStack& stack) {
  PyTypeObject* type = Py_TYPE(obj);

  switch (probe(type, g_members)) {
    case Probe::Present: return enum_member_value(obj, depth, stack);
    case Probe::Failed: return std::nullopt;
    case Probe::Absent: break;
  }

  if (PyType_GetFlags(type) & Py_TPFLAGS_LONG_SUBCLASS) return convert_int(obj);

  if (PyType_IsSubtype(type, &PyFloat_Type)) {
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    return float_value(d);
  }

  switch (probe(type, g_isoformat)) {
    case Probe::Present: return call_isoformat(obj);
    case Probe::Failed: return std::nullopt;
    case Probe::Absent: break;
  }

  switch (looks_like_uuid(type)) {
    case Probe::Present: return text_result(PyRef::steal(PyObject_Str(obj)));
    case Probe::Failed: return std::nullopt;
    case Probe::Absent: break;
  }

  switch (probe(type, g_dataclass_fields)) {
    case Probe::Present:
      return with_cycle_check(obj, stack, [&] { return convert_dataclass(obj, depth, stack); });
    case Probe::Failed: return std::nullopt;
    case Probe::Absent: break;
  }

  return placeholder_value("unsupported", type);
}

}  // namespace vorlisk::py::detail
