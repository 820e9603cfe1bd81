// The JSON line of one record: one compact JSON object holding the record's
// fields in their order, then the fixed members logger, level, severity,
// timestamp, service, stack and message. A fixed member whose name is
// already a field takes that field's place; `service` is written only when
// no field has that name (the field then keeps its own value), `stack` only
// when a stack text is given. The line has no trailing newline.
//
// Redaction: the field "_vorlisk_redacted" is dropped; values under
// sensitive keys become "[REDACTED]"; value patterns apply to the fields and
// to the logger, service, stack and message texts. level, severity and
// timestamp are never redacted.
//
// Pure functions over values the call owns; the settings are only read, so
// one configuration may serve any number of threads.
#pragma once

#include <optional>
#include <string_view>

#include "core/render/json_writer.h"
#include "core/render/redaction.h"
#include "core/value/value.h"

namespace vorlisk {

// The record's fields after the marker field is dropped, key redaction over
// the whole tree, then the value patterns (when there is at least one).
// Shared by the JSON line and the console line.
FieldMap build_record_root(FieldMap fields, const RedactionSettings& settings);

// The JSON line, or the error of a big-integer field whose text is not one
// JSON value (no partial line is returned).
JsonResult render_json_record(FieldMap fields, std::string_view logger, std::string_view level,
                              std::string_view service, std::string_view message,
                              std::string_view timestamp, std::optional<std::string_view> stack,
                              const RedactionSettings& settings);

}  // namespace vorlisk
