// The standard library's own date, datetime and UUID objects, formatted
// natively: the same text as their isoformat() and str(), without the
// interpreter's printf-style formatting and without the attribute probes
// that objects of unknown types need.
//
// Only where the text is provably what converting the object otherwise
// gives: exact instances only (a subclass may format itself differently).
// datetime.date and datetime.datetime are immutable built-in types, so
// their isoformat() cannot have been replaced, and an offset's days,
// seconds and microseconds are read as isoformat() reads them, from the
// timedelta itself, whatever a subclass defines. uuid.UUID qualifies while
// it is the standard library's class in its own state (uuid_class.h), and
// only for an int in its slot.
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
  // UUID, a UUID class that is not the standard one in its own state, or a
  // UUID whose int is no int or lies outside 128 bits (its str() has
  // another shape). The probes and its own isoformat() or str() give its
  // text.
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
