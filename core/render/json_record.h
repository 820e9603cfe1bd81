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

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/render/json_writer.h"
#include "core/render/record_text.h"
#include "core/render/redaction.h"
#include "core/render/text_buffer.h"
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

// The record's own texts, as given (redaction and the canonical level are
// the writer's business).
struct RecordTexts {
  std::string_view logger;
  std::string_view level;
  std::string_view service;
  std::string_view message;
  std::string_view timestamp;
  std::optional<std::string_view> stack;
};

// Writes one record's JSON line into `out` field by field, for callers that
// produce the fields' values themselves: the line render_json_record gives
// for the same fields. Construction writes the opening brace; for each
// field in order, begin_field(key) writes what stands before the value and
// says whether the caller now writes the value through values(); finish()
// writes the fixed members still due and the closing brace.
//
// `fields_redacted`: the fields are a root that build_record_root already
// redacted (then nothing is redacted or dropped here); otherwise sensitive
// keys are written "[REDACTED]" at any depth and the marker field is left
// out, which covers every redaction when there are no value patterns.
//
// The texts, the settings and `out` must outlive the writer. One thread.
class JsonRecordWriter {
 public:
  JsonRecordWriter(TextBuffer& out, const RecordTexts& texts, const RedactionSettings& settings,
                   bool fields_redacted);
  JsonRecordWriter(const JsonRecordWriter&) = delete;
  JsonRecordWriter& operator=(const JsonRecordWriter&) = delete;

  // True: write the field's value now, exactly once. False: the field's
  // own value is not part of the line (the marker field, a fixed member
  // written in its place, or a sensitive key written as "[REDACTED]").
  bool begin_field(std::string_view key);
  JsonValueWriter& values() { return values_; }
  // A timestamp known only once the fields are written (the clock, read
  // after the conversions that wrote them) in place of the one given at
  // construction: before finish(), and only when no field was named
  // "timestamp" (that field was written with the text known then).
  void set_timestamp(std::string_view timestamp);
  void finish();

 private:
  static constexpr size_t kFixedMembers = 7;
  void write_member(uint8_t member);

  TextBuffer& out_;
  const RedactionSettings& settings_;
  JsonValueWriter values_;
  bool drop_marker_;
  RedactedText message_text_;
  RedactedText logger_text_;
  RedactedText stack_text_;
  RedactedText service_text_ = RedactedText::borrowed({});
  std::string_view service_;
  std::string other_level_;  // the canonical name of a level outside the table
  std::array<std::string_view, kFixedMembers> texts_{};
  std::array<bool, kFixedMembers> pending_{};
  uint8_t severity_ = 0;
  bool first_ = true;
  bool service_field_ = false;
};

}  // namespace vorlisk
