// Steps of the object conversion shared between its source files.
#pragma once

#include "py/conversion/convert.h"

namespace vorlisk::py::detail {

// An int or int subclass by its numeric value: Int when it fits 64 bits,
// else BigInt from the built-in int's repr (never a subclass's own).
Converted convert_int(PyObject* obj);

// A finite double as Float; NaN and the infinities as Null.
Value float_value(double d);

// Everything that is not None, bool, int, float, str, dict, list or tuple:
// the standard library's own objects (stdlib_objects.h), then the kinds
// convert_probed_object tells. Empty with the Python error set when
// examining the object raised.
Converted convert_special_object(PyObject* obj, uint64_t depth, ConversionStack& stack);

// The same for an object already found not to be one of the standard
// library's own (format_stdlib_object said not_stdlib): enum members, int
// and float subclasses, date-like objects, UUIDs and dataclass instances,
// recognised by probing its type.
Converted convert_probed_object(PyObject* obj, uint64_t depth, ConversionStack& stack);

// Turns an Exception raised while `obj` was examined into the "unsupported"
// placeholder; any other exception stays set and the result stays empty.
Converted unsupported_fallback(Converted result, PyObject* obj);

// What an object becomes when the native stack has no room for it.
inline Value stack_short_placeholder(PyObject* obj) {
  return placeholder_value("unsupported", Py_TYPE(obj));
}

// Whether an object at `depth` that is a container or may run user code
// (which may enter again) finds too little of the native stack left. The
// entry itself made sure of room for its top-level objects.
inline bool stack_short_at(uint64_t depth) {
  return depth > 1 && ConversionStack::native_stack_short();
}

// Converts `container` by `convert` unless it is already under conversion
// (then the "cycle" placeholder), keeping it on the stack meanwhile.
template <class Convert>
Converted with_cycle_check(PyObject* container, ConversionStack& stack, Convert&& convert) {
  if (stack.contains(container)) return placeholder_value("cycle", Py_TYPE(container));
  const ConversionStack::Entry entry(stack, container);
  return convert();
}

}  // namespace vorlisk::py::detail
