// Argument conversion: one function per conversion kind.
//
// Each takes the bound argument (never null: callers test is_absent first
// for optional parameters) and the parameter's name, and returns false with
// the Python error set when the argument does not convert. Every failure
// carries the note "while processing '<name>'" (added through the
// exception's add_note, and left off when that is impossible).
//
// Type mismatches read "'<type>' object is not an instance of '<expected>'",
// or "'None' is not an instance of '<expected>'" for None.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "py/glue/py_ref.h"
#include "py/glue/python.h"

namespace vorlisk::py {

// A parameter that was not passed, or passed as None.
inline bool is_absent(PyObject* arg) { return arg == nullptr || arg == Py_None; }

// Raises the type-mismatch TypeError for `obj` (no note).
void raise_type_mismatch(PyObject* obj, const char* expected);

// Raises ValueError with exactly `message` (NUL bytes included; invalid
// UTF-8 replaced).
void raise_value_error(std::string_view message);

// Adds the note "while processing '<name>'" to the current exception.
void add_argument_note(const char* name);

// str or subclass; the object itself (its text is taken later, with
// surrogate repair).
bool extract_text_object(PyObject* arg, const char* name, PyObject** out);

// str or subclass with a UTF-8 form; a lone surrogate raises the
// interpreter's UnicodeEncodeError. The view lives as long as the object.
bool extract_strict_text(PyObject* arg, const char* name, std::string_view* out);

// Exactly bool, or a numpy boolean scalar through its __bool__.
bool extract_bool(PyObject* arg, const char* name, bool* out);

// dict or subclass.
bool extract_dict(PyObject* arg, const char* name, PyObject** out);

// Any sequence but a str, iterated; every item strict text.
bool extract_text_sequence(PyObject* arg, const char* name, std::vector<std::string>* out);

// Any sequence but a str, iterated; every item kept as it is.
bool extract_object_sequence(PyObject* arg, const char* name, std::vector<PyRef>* out);

// Whatever the interpreter's float conversion accepts.
bool extract_double(PyObject* arg, const char* name, double* out);

// Whatever the interpreter's signed integer conversion (C long, 64 bits)
// accepts, with its messages.
bool extract_int64(PyObject* arg, const char* name, int64_t* out);

// An int (or anything with __index__) from 0 to 2^64 - 1.
bool extract_uint64(PyObject* arg, const char* name, uint64_t* out);

// An instance of BaseException or a subclass.
bool extract_exception(PyObject* arg, const char* name, PyObject** out);

// An instance of `type` (or a subtype); `type_name` names it in the error.
bool extract_instance(PyObject* arg, PyTypeObject* type, const char* type_name, const char* name,
                      PyObject** out);

}  // namespace vorlisk::py
