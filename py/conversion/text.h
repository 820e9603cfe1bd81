// Text of Python str objects, for everything the core stores or renders.
//
// Never fails: a str holding lone surrogates (which has no UTF-8 form) is
// repaired, a surrogate pair joined into its character and every stray
// surrogate replaced by U+FFFD. Interpreter lock held.
#pragma once

#include <string>

#include "py/glue/python.h"

namespace vorlisk::py {

// UTF-8 text of `s` (a str or subclass).
std::string py_str_to_utf8(PyObject* s);

// The repaired text of a str that has no UTF-8 form.
std::string decode_surrogates_lossy(PyObject* s);

// `__name__` of `type` as PyType_GetName gives it, or "unknown".
std::string py_type_name(PyTypeObject* type);

}  // namespace vorlisk::py
