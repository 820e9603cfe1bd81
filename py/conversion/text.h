// Text of Python str objects, for everything the core stores or renders.
//
// Never fails: a str holding lone surrogates (which has no UTF-8 form) is
// repaired, a surrogate pair joined into its character and every stray
// surrogate replaced by U+FFFD. Interpreter lock held.
#pragma once

#include <string>
#include <string_view>

#include "py/glue/python.h"

namespace vorlisk::py {

// UTF-8 text of `s` (a str or subclass).
std::string py_str_to_utf8(PyObject* s);

// The repaired text of a str that has no UTF-8 form.
std::string decode_surrogates_lossy(PyObject* s);

// `__name__` of `type` as PyType_GetName gives it, or "unknown".
std::string py_type_name(PyTypeObject* type);

// The text of a str for reading only: the str's own UTF-8 form, uncopied,
// or the repaired text when it has none. Lives no longer than the str.
class StrText {
 public:
  explicit StrText(PyObject* s);
  StrText(const StrText&) = delete;
  StrText& operator=(const StrText&) = delete;
  std::string_view view() const { return view_; }

 private:
  std::string repaired_;
  std::string_view view_;
};

}  // namespace vorlisk::py
