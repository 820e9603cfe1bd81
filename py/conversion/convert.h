// Python objects to values: what every field of a record becomes before the
// core redacts and renders it without the interpreter.
//
// A conversion never fails on data. Over-deep nesting, a container that
// holds itself, an object of no known kind and an Exception raised while an
// object is examined all become placeholder strings:
//   "<max depth exceeded>"   an object met below depth 64
//   "<cycle: list>"          a container already under conversion
//   "<unsupported: set>"     no known kind, or examining it raised
// Only an exception that is not an Exception subclass (KeyboardInterrupt,
// SystemExit, GeneratorExit) ends a conversion; it is left set as the
// current Python error and the result is empty.
//
// Kinds, tested in this order: None, bool, int, float (by type identity),
// str, dict, list, tuple (by type flag, subclasses included), then enum
// members (their value), int and float subclasses, date-like objects (their
// isoformat()), UUIDs (their str()), dataclass instances (a map in field
// order).
//
// Every function here runs with the interpreter lock held and may run user
// code (probes, isoformat(), __hash__); every object under conversion is
// held by a strong reference while it does.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/thread_stack.h"
#include "core/value/value.h"
#include "py/glue/python.h"
#include "py/glue/recursion_guard.h"

namespace vorlisk::py {

// The deepest depth converted normally; a top-level object is at depth 1.
inline constexpr uint64_t kMaxConversionDepth = 64;

// What an object below that depth becomes.
inline constexpr std::string_view kMaxDepthExceeded = "<max depth exceeded>";

// The containers (dicts, lists, tuples, dataclass instances) whose
// conversion is under way: exactly the ancestors of the object being
// converted, so never more than kMaxConversionDepth. One per top-level
// object, never shared; lives on the caller's stack.
//
// It also answers whether the thread's native stack has room for one more
// container level or for user code run there (recursion_guard.h): an object
// below the top level met when it has not becomes the "unsupported"
// placeholder, as when examining it raises RecursionError.
class ConversionStack {
 public:
  // Keeps a container on the stack while it is converted.
  class Entry {
   public:
    Entry(ConversionStack& stack, PyObject* container) : stack_(stack) { stack_.push(container); }
    ~Entry() { stack_.pop(); }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

   private:
    ConversionStack& stack_;
  };

  bool contains(PyObject* container) const;
  void push(PyObject* container);
  void pop() { --size_; }
  size_t size() const { return size_; }

  // Asked below the top level only: the entry found room for that.
  static bool native_stack_short() {
    return stack_short(thread_stack_floor(), VORLISK_FRAME_ADDRESS(), kStackMargin);
  }

 private:
  std::array<PyObject*, kMaxConversionDepth> entries_;
  size_t size_ = 0;
};

// A converted value, or nothing with the Python error set.
using Converted = std::optional<Value>;

// ---- objects (convert.cpp, special_objects.cpp) ------------------------------

// `obj` at `depth` with the stack of its ancestors.
Converted convert_value(PyObject* obj, uint64_t depth, ConversionStack& stack);

// A top-level object (a field value): depth 1 and a fresh stack.
Converted convert_top_level(PyObject* obj);

// The Str "<word: TypeName>"; the words are "cycle" and "unsupported".
Value placeholder_value(std::string_view word, PyTypeObject* type);

// ---- dicts and a record's fields (dict_conversion.cpp) ---------------------

// A dict met inside a value (it is already on `stack`): keys of any type
// become key texts (a non-str key through its converted value), values are
// converted at depth + 1. Keys that may collide are made unique afterwards
// (first position, last value).
Converted convert_dict_value(PyObject* dict, uint64_t depth, ConversionStack& stack);

// A record's fields dict: str keys only (anything else raises TypeError
// "field keys must be strings"), each value a top-level object.
std::optional<FieldMap> convert_fields(PyObject* fields);

// The UTF-8 text of a plain key: type exactly str with a UTF-8 form (such
// keys of one dict never share a text, so they need no collision check).
// Nothing for any other key, with no error left set.
inline std::optional<std::string_view> plain_key_text(PyObject* key) {
  if (!PyUnicode_CheckExact(key)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(text, static_cast<size_t>(size));
}

inline bool is_plain_key(PyObject* key) { return plain_key_text(key).has_value(); }

// The text of a field key (str or subclass, surrogates repaired), or
// nothing with TypeError "field keys must be strings" set.
std::optional<std::string> field_key_from_py(PyObject* key);

// Sets a field: an existing key keeps its position and takes the value, a
// new key is appended.
inline void fields_insert_or_replace(FieldMap& fields, std::string key, Value value) {
  record_set_field(fields, std::move(key), std::move(value));
}

}  // namespace vorlisk::py
