#include "core/render/json_record.h"

#include <algorithm>
#include <array>

#include "core/render/number_text.h"
#include "core/render/record_text.h"
#include "core/render/text_buffer.h"
#include "core/value/levels.h"

namespace vorlisk {
namespace {


// The fixed members in the order they are appended when no field holds
// their name.
enum FixedMember : size_t { kLogger, kLevel, kSeverity, kTimestamp, kService, kStack, kMessage, kFixedCount };
constexpr std::array<std::string_view, kFixedCount> kFixedNames = {
    "logger", "level", "severity", "timestamp", "service", "stack", "message"};

// The line is written in one pass, as if each fixed member had been set on
// the root in turn (set = replace in place, else append): a field whose name
// is a written fixed member is written with the fixed value, and the fixed
// members no field named follow in their order.
class RecordLine {
 public:
  RecordLine(std::string_view logger, std::string_view canonical_level, uint8_t severity,
             std::string_view timestamp, std::optional<std::string_view> service,
             std::optional<std::string_view> stack, std::string_view message) {
    texts_[kLogger] = logger;
    texts_[kLevel] = canonical_level;
    texts_[kTimestamp] = timestamp;
    texts_[kMessage] = message;
    severity_ = severity;
    written_[kService] = service.has_value();
    written_[kStack] = stack.has_value();
    if (service) texts_[kService] = *service;
    if (stack) texts_[kStack] = *stack;
    for (size_t m : {kLogger, kLevel, kSeverity, kTimestamp, kMessage}) written_[m] = true;
  }

  std::optional<JsonError> write(const FieldMap& root, TextBuffer& out) {
    std::array<bool, kFixedCount> pending = written_;
    out.push_back('{');
    bool first = true;
    for (const FieldEntry& entry : root.entries()) {
      if (!first) out.push_back(',');
      first = false;
      write_json_string(entry.key, out);
      out.push_back(':');
      const std::optional<FixedMember> member = written_member_named(entry.key);
      if (member && pending[*member]) {
        write_member_value(*member, out);
        pending[*member] = false;
      } else if (auto error = write_json_value(entry.value, out)) {
        return error;
      }
    }
    for (size_t m = 0; m < kFixedCount; ++m) {
      if (!pending[m]) continue;
      if (!first) out.push_back(',');
      first = false;
      write_json_string(kFixedNames[m], out);
      out.push_back(':');
      write_member_value(static_cast<FixedMember>(m), out);
    }
    out.push_back('}');
    return std::nullopt;
  }

 private:
  std::optional<FixedMember> written_member_named(std::string_view key) const {
    const auto it = std::find(kFixedNames.begin(), kFixedNames.end(), key);
    if (it == kFixedNames.end()) return std::nullopt;
    const auto member = static_cast<FixedMember>(it - kFixedNames.begin());
    if (!written_[member]) return std::nullopt;
    return member;
  }

  void write_member_value(FixedMember member, TextBuffer& out) const {
    if (member == kSeverity) {
      append_int_text(out, severity_);
    } else {
      write_json_string(texts_[member], out);
    }
  }

  std::array<std::string_view, kFixedCount> texts_{};
  std::array<bool, kFixedCount> written_{};
  uint8_t severity_ = 0;
};

}  // namespace

FieldMap build_record_root(FieldMap fields, const RedactionSettings& settings) {
  std::vector<FieldEntry>& entries = fields.entries();
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [](const FieldEntry& e) { return e.key == kRedactedMarkerKey; }),
                entries.end());
  Value root = Value::map(std::move(fields));
  redact_sensitive_keys_with(root, settings.keys());
  if (!settings.patterns.empty()) {
    redact_value_patterns(root, settings.patterns, settings.replacement, settings.prefilter);
  }
  return std::move(root.as_map());
}

JsonResult render_json_record(FieldMap fields, std::string_view logger, std::string_view level,
                              std::string_view service, std::string_view message,
                              std::string_view timestamp, std::optional<std::string_view> stack,
                              const RedactionSettings& settings) {
  const RedactedText message_text = redact_record_text("message", message, settings);
  const FieldMap root = build_record_root(std::move(fields), settings);
  const std::string canonical = canonical_level_name(level);
  const uint8_t severity = severity_for_level(canonical);
  const RedactedText logger_text = redact_record_text("logger", logger, settings);
  // Tested on the redacted root: a pattern may have renamed a field to
  // "service", or away from it.
  const bool has_service_field = root.contains("service");
  const RedactedText service_text =
      has_service_field ? RedactedText::borrowed({}) : redact_record_text("service", service, settings);
  const RedactedText stack_text =
      stack ? redact_record_text("stack", *stack, settings) : RedactedText::borrowed({});

  RecordLine line(logger_text.view(), canonical, severity, timestamp,
                  has_service_field ? std::nullopt : std::optional(service_text.view()),
                  stack ? std::optional(stack_text.view()) : std::nullopt, message_text.view());
  std::string out;
  out.reserve(line_capacity_hint());
  {
    TextBuffer buffer(out);
    if (auto error = line.write(root, buffer)) return std::move(*error);
  }
  note_line_length(out.size());
  return out;
}

}  // namespace vorlisk
