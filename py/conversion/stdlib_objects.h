// The standard library's own date, datetime and UUID objects, formatted
// natively: the same text as their isoformat() and str(), without the
// interpreter's printf-style formatting and without the attribute probes
// that objects of unknown types need.
//
// Only exact instances qualify (a subclass may format itself differently):
// datetime.date and datetime.datetime are immutable built-in types, so
// their isoformat() cannot have been replaced; uuid.UUID is recognised once
// its module is imported and while its __str__ is still the module's own.
//
// Interpreter lock held: the type lookups and the cache of the last UTC
// offset are process-wide state that the lock serialises.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "py/conversion/convert.h"

namespace vorlisk::py::detail {

// The text of one formatted object, held inline (no allocation). Room for
// the longest text: "YYYY-MM-DDTHH:MM:SS.ffffff+HH:MM:SS.ffffff" (42) or a
// UUID (36). Owned by its caller, one per formatting.
class StdlibText {
 public:
  std::string_view view() const { return {text_, size_}; }

 private:
  friend class StdlibTextWriter;
  char text_[48];
  size_t size_ = 0;
};

enum class StdlibFormat {
  // Not formatted here, `text` untouched: not an exact date, datetime or
  // UUID, a UUID type whose __str__ was replaced, or a UUID whose int lies
  // outside 128 bits (its str() has another shape). Its own isoformat() or
  // str() gives its text.
  not_stdlib,
  formatted,  // `text` holds exactly the isoformat() or str() text
  failed,     // examining the object raised (as isoformat() would have): Python error set
};

// Formats `obj` into `text` (from its start) when it is one of these
// objects. May run user code: a custom tzinfo's utcoffset(), called exactly
// once per datetime.
StdlibFormat format_stdlib_object(PyObject* obj, StdlibText& text);

// The same as a converted value: nothing when `obj` is not one of these
// objects; otherwise the Str of its text, or an empty Converted with the
// Python error set when examining it raised.
std::optional<Converted> convert_stdlib_object(PyObject* obj);

}  // namespace vorlisk::py::detail
