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
#include <optional>
#include <string>

#include "core/render/json_record.h"
#include "core/render/json_writer.h"
#include "core/render/text_buffer.h"
#include "core/render/timestamp.h"
#include "py/conversion/convert.h"
#include "py/glue/extract.h"
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

// One field of a record: begins it on `record` and writes its value (a
// top-level object, converted at depth 1 with a fresh stack), or, when the
// line leaves the field's own value out, only converts it.
[[nodiscard]] DirectWrite write_direct_field(JsonRecordWriter& record, std::string_view key,
                                             PyObject* value);

// Where a directly written record's timestamp comes from.
enum class RecordTime {
  given,  // texts.timestamp
  // The clock, read once the fields are written, after every conversion
  // they ran (as when the fields are converted first): no field may be
  // named "timestamp", as that field would need the text sooner.
  now_after_fields,
};

// A whole JSON line: `write_fields(writer)` writes the record's fields (by
// write_direct_field) and returns how it went; then the fixed members
// follow. Nothing with the Python error set when a field failed (a JSON
// error raised as ValueError with its display text). No value patterns:
// they redact the record as a whole, before it is written.
template <class WriteFields>
std::optional<std::string> write_direct_record(const RecordTexts& texts, RecordTime time,
                                               const RedactionSettings& settings,
                                               WriteFields&& write_fields) {
  std::string line = new_line_buffer();
  {
    TextBuffer buffer(line);
    JsonRecordWriter writer(buffer, texts, settings, /*fields_redacted=*/false);
    switch (write_fields(writer)) {
      case DirectWrite::ok:
        break;
      case DirectWrite::python_error:
        return std::nullopt;
      case DirectWrite::json_error:
        raise_value_error(writer.values().take_error().display());
        return std::nullopt;
    }
    std::optional<TimestampText> now;
    if (time == RecordTime::now_after_fields) {
      writer.set_timestamp(now.emplace(current_timestamp()).view());
    }
    writer.finish();
  }
  note_line_length(line.size());
  return line;
}

// Runs the conversion of a value that is not written (a field the line
// leaves out), for its side effects and failures only: objects of the kinds
// whose conversion runs no user code are skipped. False with the Python
// error set when the conversion failed.
[[nodiscard]] bool convert_unwritten_value(PyObject* obj);

}  // namespace vorlisk::py
