#include "py/conversion/convert.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "py/conversion/convert_internal.h"
#include "py/conversion/text.h"
#include "py/glue/entry.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py {
namespace {

// Lists may shrink or grow while user code run by an element's conversion
// changes them: the walk never goes past the length it started with, nor
// past the current one, and holds each element while converting it.
Converted convert_list(PyObject* list, uint64_t depth, ConversionStack& stack) {
  const Py_ssize_t start_length = PyList_Size(list);
  Value::List items;
  items.reserve(static_cast<size_t>(start_length));
  for (Py_ssize_t i = 0; i < std::min(PyList_Size(list), start_length); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    Converted converted = convert_value(item.get(), depth + 1, stack);
    if (!converted) return std::nullopt;
    items.push_back(std::move(*converted));
  }
  return Value::list(std::move(items));
}

// A tuple cannot change, and it holds its elements while it lives.
Converted convert_tuple(PyObject* tuple, uint64_t depth, ConversionStack& stack) {
  const Py_ssize_t length = PyTuple_Size(tuple);
  Value::List items;
  items.reserve(static_cast<size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    Converted converted = convert_value(PyTuple_GetItem(tuple, i), depth + 1, stack);
    if (!converted) return std::nullopt;
    items.push_back(std::move(*converted));
  }
  return Value::list(std::move(items));
}

}  // namespace

bool ConversionStack::contains(PyObject* container) const {
  return std::find(entries_.begin(), entries_.begin() + size_, container) !=
         entries_.begin() + size_;
}

void ConversionStack::push(PyObject* container) {
  // Only ancestors are on the stack and each sits one level deeper than
  // the last, so the depth limit bounds it.
  if (size_ == entries_.size()) throw InternalError("conversion stack deeper than the depth limit");
  entries_[size_++] = container;
}

Value placeholder_value(std::string_view word, PyTypeObject* type) {
  const std::string name = py_type_name(type);
  std::string text;
  text.reserve(word.size() + name.size() + 4);
  text += '<';
  text += word;
  text += ": ";
  text += name;
  text += '>';
  return Value::str(std::move(text));
}

namespace detail {

Value float_value(double d) {
  const uint64_t magnitude = std::bit_cast<uint64_t>(d) & 0x7FFF'FFFF'FFFF'FFFFull;
  return magnitude < 0x7FF0'0000'0000'0000ull ? Value::floating(d) : Value::null();
}

Converted convert_int(PyObject* obj) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) {
    if (value == -1 && PyErr_Occurred()) return unsupported_fallback(std::nullopt, obj);
    return Value::integer(value);
  }
  // The built-in int's repr slot, as int.__repr__(obj) would call it.
  static const auto int_repr = reinterpret_cast<reprfunc>(PyType_GetSlot(&PyLong_Type, Py_tp_repr));
  PyRef text = PyRef::steal(int_repr(obj));
  if (!text) return unsupported_fallback(std::nullopt, obj);
  if (!PyUnicode_Check(text.get())) {
    PyErr_SetString(PyExc_TypeError, "int.__repr__ returned a non-string");
    return unsupported_fallback(std::nullopt, obj);
  }
  return Value::big_int(py_str_to_utf8(text.get()));
}

Converted unsupported_fallback(Converted result, PyObject* obj) {
  if (result) return result;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return placeholder_value("unsupported", Py_TYPE(obj));
  PyErr_NormalizeException(&type, &value, &traceback);
  if (PyErr_GivenExceptionMatches(value != nullptr ? value : type, PyExc_Exception)) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return placeholder_value("unsupported", Py_TYPE(obj));
  }
  PyErr_Restore(type, value, traceback);
  return std::nullopt;
}

}  // namespace detail

Converted convert_value(PyObject* obj, uint64_t depth, ConversionStack& stack) {
  if (depth > kMaxConversionDepth) return Value::str(std::string(kMaxDepthExceeded));
  if (obj == Py_None) return Value::null();
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyBool_Type) return Value::boolean(obj == Py_True);
  if (type == &PyLong_Type) return detail::convert_int(obj);
  if (type == &PyFloat_Type) return detail::float_value(PyFloat_AsDouble(obj));
  const unsigned long flags = PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return Value::str(py_str_to_utf8(obj));
  if (detail::stack_short_at(depth)) [[unlikely]] return detail::stack_short_placeholder(obj);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
    return detail::with_cycle_check(obj, stack,
                                    [&] { return convert_dict_value(obj, depth, stack); });
  }
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
    return detail::with_cycle_check(obj, stack, [&] { return convert_list(obj, depth, stack); });
  }
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) {
    return detail::with_cycle_check(obj, stack, [&] { return convert_tuple(obj, depth, stack); });
  }
  return detail::unsupported_fallback(detail::convert_special_object(obj, depth, stack), obj);
}

Converted convert_top_level(PyObject* obj) {
  ConversionStack stack;
  return convert_value(obj, 1, stack);
}

}  // namespace vorlisk::py
