#include "py/conversion/direct_json.h"

#include <algorithm>

#include "core/render/json_string.h"
#include "core/render/number_text.h"
#include "core/render/redaction.h"
#include "py/conversion/convert_internal.h"
#include "py/conversion/dict_snapshot.h"
#include "py/conversion/stdlib_objects.h"
#include "py/conversion/text.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py {
namespace {

DirectWrite write_converted(JsonValueWriter& out, const Converted& converted) {
  if (!converted) return DirectWrite::python_error;
  return out.write(*converted) ? DirectWrite::ok : DirectWrite::json_error;
}

// Inlined into write_direct_json: most values are strings.
[[gnu::always_inline]] inline DirectWrite write_str(JsonValueWriter& out, PyObject* str) {
  const StrText text(str);
  write_json_string(text.view(), out.out());
  return DirectWrite::ok;
}

DirectWrite write_int(JsonValueWriter& out, PyObject* obj) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
    append_int_text(out.out(), value);
    return DirectWrite::ok;
  }
  // Too big for 64 bits (or unreadable): the conversion's own text.
  if (overflow == 0) PyErr_Clear();
  return write_converted(out, detail::convert_int(obj));
}

// A dict is written entry by entry only when every key is plain: other
// keys go through their own conversion and may collapse into one.
DirectWrite write_dict(JsonValueWriter& out, PyObject* dict, uint64_t depth,
                       ConversionStack& stack) {
  DictSnapshot snapshot(dict);
  if (!snapshot.read_plain_keys()) {
    return write_converted(out, convert_dict_value(dict, depth, stack));
  }
  TextBuffer& text = out.out();
  text.push_back('{');
  bool first = true;
  for (const DictSnapshot::Entry& entry : snapshot) {
    if (!first) text.push_back(',');
    first = false;
    const std::string_view key = entry.key_text();
    write_json_string(key, text);
    text.push_back(':');
    if (out.redacts(key)) {
      // The value is written redacted, but still converted, as it would be.
      if (!convert_value(entry.value, depth + 1, stack)) return DirectWrite::python_error;
      write_json_string(kRedacted, text);
      continue;
    }
    const DirectWrite wrote = write_direct_json(out, entry.value, depth + 1, stack);
    if (wrote != DirectWrite::ok) return wrote;
  }
  text.push_back('}');
  return DirectWrite::ok;
}

// A list may change while user code converts its elements: the walk never
// goes past the length it started with, nor past the current one, and holds
// each element while it is written. A tuple cannot change.
DirectWrite write_items(JsonValueWriter& out, PyObject* items, bool is_list, uint64_t depth,
                        ConversionStack& stack) {
  TextBuffer& text = out.out();
  const Py_ssize_t start_length = is_list ? PyList_Size(items) : PyTuple_Size(items);
  text.push_back('[');
  for (Py_ssize_t i = 0; i < (is_list ? std::min(PyList_Size(items), start_length) : start_length);
       ++i) {
    if (i != 0) text.push_back(',');
    const PyRef item =
        PyRef::borrow(is_list ? PyList_GetItem(items, i) : PyTuple_GetItem(items, i));
    const DirectWrite wrote = write_direct_json(out, item.get(), depth + 1, stack);
    if (wrote != DirectWrite::ok) return wrote;
  }
  text.push_back(']');
  return DirectWrite::ok;
}

// A container written while it is on the stack, or its cycle placeholder.
template <class Write>
DirectWrite write_container(JsonValueWriter& out, PyObject* container, ConversionStack& stack,
                            Write&& write) {
  if (stack.contains(container)) {
    return write_converted(out, placeholder_value("cycle", Py_TYPE(container)));
  }
  const ConversionStack::Entry entry(stack, container);
  return write();
}

}  // namespace

DirectWrite write_direct_json(JsonValueWriter& out, PyObject* obj, uint64_t depth,
                              ConversionStack& stack) {
  if (depth > kMaxConversionDepth) {
    write_json_string(kMaxDepthExceeded, out.out());
    return DirectWrite::ok;
  }
  if (obj == Py_None) {
    out.out().append("null");
    return DirectWrite::ok;
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyBool_Type) {
    out.out().append(obj == Py_True ? "true" : "false");
    return DirectWrite::ok;
  }
  if (type == &PyLong_Type) return write_int(out, obj);
  if (type == &PyFloat_Type) {
    if (!append_float_text(out.out(), PyFloat_AsDouble(obj))) out.out().append("null");
    return DirectWrite::ok;
  }
  // The exact types first: PyType_GetFlags is a call into the interpreter.
  if (type == &PyUnicode_Type) return write_str(out, obj);
  const unsigned long flags =
      type == &PyDict_Type ? Py_TPFLAGS_DICT_SUBCLASS : PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return write_str(out, obj);
  if (detail::stack_short_at(depth)) [[unlikely]] {
    return write_converted(out, detail::stack_short_placeholder(obj));
  }
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) {
    return write_container(out, obj, stack, [&] { return write_dict(out, obj, depth, stack); });
  }
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) {
    return write_container(out, obj, stack,
                           [&] { return write_items(out, obj, true, depth, stack); });
  }
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) {
    return write_container(out, obj, stack,
                           [&] { return write_items(out, obj, false, depth, stack); });
  }
  // The rest as convert_value converts it, but the standard library's own
  // objects are formatted in place (their conversion would give the same
  // text as a new string) and examined only once.
  detail::StdlibText text;
  Converted converted;
  switch (detail::format_stdlib_object(obj, text)) {
    case detail::StdlibFormat::formatted:
      write_json_string(text.view(), out.out());
      return DirectWrite::ok;
    case detail::StdlibFormat::failed:
      break;
    case detail::StdlibFormat::not_stdlib:
      converted = detail::convert_probed_object(obj, depth, stack);
      break;
  }
  return write_converted(out, detail::unsupported_fallback(std::move(converted), obj));
}

DirectWrite write_direct_field(JsonRecordWriter& record, std::string_view key, PyObject* value) {
  if (!record.begin_field(key)) {
    return convert_unwritten_value(value) ? DirectWrite::ok : DirectWrite::python_error;
  }
  ConversionStack stack;
  return write_direct_json(record.values(), value, 1, stack);
}

bool convert_unwritten_value(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (obj == Py_None || type == &PyBool_Type || type == &PyLong_Type || type == &PyFloat_Type ||
      type == &PyUnicode_Type) {
    return true;
  }
  return convert_top_level(obj).has_value();
}

}  // namespace vorlisk::py
