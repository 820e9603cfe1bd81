// Merging a record's field sources into one mapping.
//
// Precedence, the same in the fused log path:
//   1. bound fields, in their order;
//   2. call keyword arguments, each replacing a bound key in its position or
//      appended; a kwargs key "exc_info" or "stack_info" (a str or subclass
//      with exactly that text) is never a field;
//   3. context variables, only for keys still absent. When some key is not
//      plain (is_plain_key), "absent" also means that no bound or kwargs key
//      has the same text: rendering collapses such keys with the later one
//      winning, which would otherwise let a context variable override the
//      call.
//
// Interpreter lock held. User code runs only through the keys' __hash__ and
// __eq__; each key and value is held by a strong reference while it does.
// A dict that such code changes while it is walked is an internal failure
// ("dictionary changed size during iteration", "dictionary keys changed
// during iteration"), thrown as InternalError.
#pragma once

#include "py/glue/py_ref.h"
#include "py/glue/python.h"

namespace vorlisk::py {

// A new plain dict; the inputs (dicts or subclasses) are never modified.
// Null with the Python error set when a key's __hash__ or __eq__ raises.
PyRef merge_field_dicts(PyObject* bound, PyObject* kwargs, PyObject* contextvars);

// Whether a kwargs key is one of the two names that never become fields.
bool is_skipped_kwargs_key(PyObject* key);

}  // namespace vorlisk::py
