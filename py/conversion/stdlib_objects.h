// The standard library's own date, datetime and UUID objects, formatted
// natively: the same text as their isoformat() and str(), without the
// interpreter's printf-style formatting and without the attribute probes
// that objects of unknown types need.
//
// Only exact instances qualify (a subclass may format itself differently):
// datetime.date and datetime.datetime are immutable built-in types, so
// their isoformat() cannot have been replaced; uuid.UUID is recognised once
// its module is imported and its __str__ is still the module's own.
//
// Interpreter lock held.
#pragma once

#include <optional>

#include "py/conversion/convert.h"

namespace vorlisk::py::detail {

// Nothing when `obj` is not one of these objects; otherwise the converted
// value, or an empty Converted with the Python error set when examining it
// raised (as isoformat() would have).
std::optional<Converted> convert_stdlib_object(PyObject* obj);

}  // namespace vorlisk::py::detail
