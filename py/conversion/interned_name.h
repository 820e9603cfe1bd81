// Attribute names looked up on every conversion of an object of a less
// common kind, made once and kept for the life of the process.
//
// Used with the interpreter lock held (which serialises the first use).
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py {

class InternedName {
 public:
  explicit constexpr InternedName(const char* text) : text_(text) {}

  // Borrowed name object, or null with the Python error set (a failed
  // creation is retried on the next use).
  PyObject* get() {
    if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
    return object_;
  }

 private:
  const char* text_;
  PyObject* object_ = nullptr;
};

}  // namespace vorlisk::py
