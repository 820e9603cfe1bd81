// Helpers for native tests that run inside an embedded interpreter (the
// interpreter is started once by the test binary's main and its lock is
// held by the test thread).
#pragma once

#include <string>

#include "py/glue/py_ref.h"

namespace vorlisk::py::testing {

// Evaluates a Python expression in a shared namespace; null on error.
PyRef eval(const std::string& expression);
// Runs Python statements in the same namespace; false on error.
bool exec(const std::string& statements);
// Binds `value` to `name` in that namespace.
void bind(const char* name, PyObject* value);

// The current exception's "<type name>: <message>" and its notes
// (joined by "|"); clears it. Empty when no exception is set.
std::string take_error();
std::string take_error_notes();

}  // namespace vorlisk::py::testing
