// Values back to Python objects, and deep copies of field maps.
#pragma once

#include "core/value/value.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py {

// None, bool, int, float (non-finite included), str, list, dict (keys in
// entry order); a BigInt through json.loads of its text. Null with the
// Python error set on failure. Interpreter lock held.
PyRef value_to_py(const Value& value);

// A copy sharing nothing with `fields`, so that the source can be redacted
// in place while the copy is rendered separately. Needs no interpreter.
FieldMap clone_fields(const FieldMap& fields);

}  // namespace vorlisk::py
