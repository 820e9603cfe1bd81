// Python objects written straight into a JSON line, without building their
// value tree first: the text that converting an object (convert_value) and
// writing the value (JsonValueWriter) gives, with the same user code run in
// the same order and the same failures.
//
// None, bool, int, float, str, dicts whose keys are all plain, lists and
// tuples are written as they are read, at every depth; the standard
// library's own date, datetime and UUID objects are formatted in place.
// Every other object (and a dict with a key that is not plain, whose keys
// may collapse) is converted by convert_value at the same depth with the
// same ancestors on the stack, and its value written.
//
// Interpreter lock held; may run user code, like the conversion.
#pragma once

#include <cstdint>

#include "core/render/json_writer.h"
#include "py/conversion/convert.h"
#include "py/glue/python.h"

namespace vorlisk::py {

enum class DirectWrite {
  ok,
  python_error,  // a conversion failed; the Python error is set
  json_error,    // a converted value could not be written; see out.take_error()
};

// Appends the JSON text of `obj`, converted at `depth` below the ancestors
// on `stack`. Sensitive keys of nested dicts are written "[REDACTED]" as
// `out` redacts them (their values are still converted). On failure `out`
// holds a partial text the caller must discard.
[[nodiscard]] DirectWrite write_direct_json(JsonValueWriter& out, PyObject* obj, uint64_t depth,
                                            ConversionStack& stack);

// Runs the conversion of a value that is not written (a field the line
// leaves out), for its side effects and failures only: objects of the kinds
// whose conversion runs no user code are skipped. False with the Python
// error set when the conversion failed.
[[nodiscard]] bool convert_unwritten_value(PyObject* obj);

}  // namespace vorlisk::py
