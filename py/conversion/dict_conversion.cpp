// Dicts to maps. Both walks go over a snapshot of the dict, so user code run
// by a value's conversion can change the dict without changing the result.
// Keys are checked for collisions only when some key was not plain: plain
// keys of one dict never share a text.

#include <string_view>

#include "core/render/json_writer.h"
#include "py/conversion/convert.h"
#include "py/conversion/dict_snapshot.h"
#include "py/conversion/text.h"

namespace vorlisk::py {
namespace {

struct KeyText {
  std::string text;
  bool plain;
};

// The text of a str key (or subclass) and whether it is plain.
KeyText str_key_text(PyObject* key) {
  Py_ssize_t size = 0;
  if (const char* text = PyUnicode_AsUTF8AndSize(key, &size)) {
    return {std::string(text, static_cast<size_t>(size)), PyUnicode_CheckExact(key) != 0};
  }
  PyErr_Clear();
  return {decode_surrogates_lossy(key), false};
}

// The text standing for a key that is not a str: a converted string is its
// own text, a scalar its JSON text, a container the "unsupported"
// placeholder of the key's type.
std::string derived_key_text(Value converted, PyObject* key) {
  switch (converted.kind()) {
    case Value::Kind::Str:
      return std::move(converted.as_str());
    case Value::Kind::List:
    case Value::Kind::Map:
      break;
    default: {
      JsonResult json = value_to_json(converted);
      if (std::string* text = std::get_if<std::string>(&json)) return std::move(*text);
      break;
    }
  }
  return std::move(placeholder_value("unsupported", Py_TYPE(key)).as_str());
}

}  // namespace

std::optional<std::string> field_key_from_py(PyObject* key) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "field keys must be strings");
    return std::nullopt;
  }
  return py_str_to_utf8(key);
}

Converted convert_dict_value(PyObject* dict, uint64_t depth, ConversionStack& stack) {
  const DictSnapshot snapshot(dict);
  FieldMap map;
  map.reserve(snapshot.size());
  bool all_plain = true;
  for (const DictSnapshot::Entry& entry : snapshot) {
    KeyText key;
    if (PyUnicode_Check(entry.key)) {
      key = str_key_text(entry.key);
    } else {
      Converted converted = convert_value(entry.key, depth + 1, stack);
      if (!converted) return std::nullopt;
      key = {derived_key_text(std::move(*converted), entry.key), false};
    }
    Converted value = convert_value(entry.value, depth + 1, stack);
    if (!value) return std::nullopt;
    all_plain = all_plain && key.plain;
    map.append(std::move(key.text), std::move(*value));
  }
  if (!all_plain) dedupe_fields(map);
  return Value::map(std::move(map));
}

std::optional<FieldMap> convert_fields(PyObject* fields) {
  const DictSnapshot snapshot(fields);
  FieldMap map;
  map.reserve(snapshot.size());
  bool all_plain = true;
  for (const DictSnapshot::Entry& entry : snapshot) {
    if (!PyUnicode_Check(entry.key)) {
      PyErr_SetString(PyExc_TypeError, "field keys must be strings");
      return std::nullopt;
    }
    KeyText key = str_key_text(entry.key);
    Converted value = convert_top_level(entry.value);
    if (!value) return std::nullopt;
    all_plain = all_plain && key.plain;
    map.append(std::move(key.text), std::move(*value));
  }
  if (!all_plain) dedupe_fields(map);
  return map;
}

}  // namespace vorlisk::py
