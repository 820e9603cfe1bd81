#include "core/render/json_record.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/render/record_text.h"
#include "core/render/text_buffer.h"
#include "core/value/levels.h"

namespace vorlisk {
namespace {

// The fixed members in the order they are appended when no field holds
// their name.
enum FixedMember : uint8_t { kLogger, kLevel, kSeverity, kTimestamp, kService, kStack, kMessage, kFixedCount };
constexpr FixedMember kNotFixed = kFixedCount;

// Each member's name as written after another member: a comma, the name
// quoted and a colon; padded to 16 bytes, so that it is copied whole.
struct MemberKey {
  char text[16];
  size_t size;
};

constexpr MemberKey member_key(std::string_view name) {
  MemberKey key{};
  key.size = name.size() + 4;
  key.text[0] = ',';
  key.text[1] = '"';
  for (size_t i = 0; i < name.size(); ++i) key.text[2 + i] = name[i];
  key.text[name.size() + 2] = '"';
  key.text[name.size() + 3] = ':';
  return key;
}

constexpr std::array<MemberKey, kFixedCount> kMemberKeys = {
    member_key("logger"),  member_key("level"), member_key("severity"), member_key("timestamp"),
    member_key("service"), member_key("stack"), member_key("message")};

FixedMember fixed_member_named(std::string_view key) {
  switch (key.size()) {
    case 5:
      return key == "level" ? kLevel : key == "stack" ? kStack : kNotFixed;
    case 6:
      return key == "logger" ? kLogger : kNotFixed;
    case 7:
      return key == "message" ? kMessage : key == "service" ? kService : kNotFixed;
    case 8:
      return key == "severity" ? kSeverity : kNotFixed;
    case 9:
      return key == "timestamp" ? kTimestamp : kNotFixed;
    default:
      return kNotFixed;
  }
}

// The line is written in one pass over the root, as if each fixed member
// had been set on it in turn (set = replace in place, else append): a field
// whose name is a written fixed member is written with the fixed value, and
// the fixed members no field named follow in their order. `service` is
// never set in place: a field of that name keeps its value, and the
// record's service is appended only when no field has the name.
class RecordLine {
 public:
  RecordLine(std::string_view logger, std::string_view canonical_level, uint8_t severity,
             std::string_view timestamp, std::string_view service, std::optional<std::string_view> stack,
             std::string_view message, const RedactionSettings& settings)
      : settings_(settings), service_(service), severity_(severity) {
    texts_[kLogger] = logger;
    texts_[kLevel] = canonical_level;
    texts_[kTimestamp] = timestamp;
    texts_[kMessage] = message;
    if (stack) texts_[kStack] = *stack;
    pending_ = {true, true, true, true, false, stack.has_value(), true};
  }

  // `redacted_keys`: null when the root is already redacted, else the keys
  // whose values are written as "[REDACTED]" at any depth; `drop_marker`:
  // whether a field keyed "_vorlisk_redacted" is still to be left out.
  std::optional<JsonError> write(const FieldMap& root, const SensitiveKeys* redacted_keys, bool drop_marker,
                                 TextBuffer& out) {
    JsonValueWriter values(out, redacted_keys);
    out.push_back('{');
    bool first = true;
    bool service_field = false;
    for (const FieldEntry& entry : root.entries()) {
      if (drop_marker && entry.key == kRedactedMarkerKey) continue;
      const FixedMember member = fixed_member_named(entry.key);
      if (member == kService) service_field = true;
      if (member != kNotFixed && pending_[member]) {
        write_member(member, first, out);
        first = false;
        continue;
      }
      if (!first) out.push_back(',');
      first = false;
      write_json_string(entry.key, out);
      out.push_back(':');
      if (!values.write_entry_value(entry.key, entry.value)) return values.take_error();
    }
    if (!service_field) {
      service_text_ = redact_record_text("service", service_, settings_);
      texts_[kService] = service_text_.view();
      pending_[kService] = true;
    }
    for (size_t m = 0; m < kFixedCount; ++m) {
      if (!pending_[m]) continue;
      write_member(static_cast<FixedMember>(m), first, out);
      first = false;
    }
    out.push_back('}');
    return std::nullopt;
  }

 private:
  void write_member(FixedMember member, bool first, TextBuffer& out) {
    pending_[member] = false;
    const MemberKey& key = kMemberKeys[member];
    char* to = out.room(sizeof key.text);
    if (first) {
      std::memcpy(to, key.text + 1, sizeof key.text - 1);
      out.commit(to + key.size - 1);
    } else {
      std::memcpy(to, key.text, sizeof key.text);
      out.commit(to + key.size);
    }
    if (member == kSeverity) {
      out.push_back(static_cast<char>('0' + severity_));  // 2 to 7: one digit
    } else {
      write_json_string(texts_[member], out);
    }
  }

  const RedactionSettings& settings_;
  std::string_view service_;
  RedactedText service_text_ = RedactedText::borrowed({});
  std::array<std::string_view, kFixedCount> texts_{};
  std::array<bool, kFixedCount> pending_{};
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
  // With value patterns the root is redacted as a whole first: a pattern
  // may rename a field (to "service", or to the marker key, which then
  // stays), and it sees the "[REDACTED]" of every sensitive key. Without,
  // the fields are written as they are, the marker left out and sensitive
  // values written redacted on the way.
  const bool whole_root = !settings.patterns.empty();
  const FieldMap root = whole_root ? build_record_root(std::move(fields), settings) : std::move(fields);
  const LevelRow* level_row = find_level_row(level);
  const std::string other_level = level_row != nullptr ? std::string() : canonical_level_name(level);
  const std::string_view canonical = level_row != nullptr ? level_row->canonical : other_level;
  const uint8_t severity = severity_for_level(canonical);
  const RedactedText logger_text = redact_record_text("logger", logger, settings);
  const RedactedText stack_text =
      stack ? redact_record_text("stack", *stack, settings) : RedactedText::borrowed({});

  RecordLine line(logger_text.view(), canonical, severity, timestamp, service,
                  stack ? std::optional(stack_text.view()) : std::nullopt, message_text.view(), settings);
  std::string out;
  out.reserve(line_capacity_hint());
  {
    TextBuffer buffer(out);
    const SensitiveKeys* redacted_keys = whole_root ? nullptr : &settings.keys();
    if (auto error = line.write(root, redacted_keys, !whole_root, buffer)) return std::move(*error);
  }
  note_line_length(out.size());
  return out;
}

}  // namespace vorlisk
