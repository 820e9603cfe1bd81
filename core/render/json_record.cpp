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
static_assert(kFixedCount == 7, "JsonRecordWriter holds seven fixed members");

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

}  // namespace

// The line is written in one pass over the fields, as if each fixed member
// had been set on the root in turn (set = replace in place, else append): a
// field whose name is a written fixed member is written with the fixed
// value, and the fixed members no field named follow in their order.
// `service` is never set in place: a field of that name keeps its value,
// and the record's service is appended only when no field has the name.
JsonRecordWriter::JsonRecordWriter(TextBuffer& out, const RecordTexts& texts,
                                   const RedactionSettings& settings, bool fields_redacted)
    : out_(out),
      settings_(settings),
      values_(out, fields_redacted ? nullptr : &settings.keys()),
      drop_marker_(!fields_redacted),
      message_text_(redact_record_text("message", texts.message, settings)),
      logger_text_(redact_record_text("logger", texts.logger, settings)),
      stack_text_(texts.stack ? redact_record_text("stack", *texts.stack, settings)
                              : RedactedText::borrowed({})),
      service_(texts.service) {
  const LevelRow* level_row = find_level_row(texts.level);
  if (level_row == nullptr) other_level_ = canonical_level_name(texts.level);
  const std::string_view canonical = level_row != nullptr ? level_row->canonical : other_level_;
  severity_ = severity_for_level(canonical);
  texts_[kLogger] = logger_text_.view();
  texts_[kLevel] = canonical;
  texts_[kTimestamp] = texts.timestamp;
  texts_[kMessage] = message_text_.view();
  if (texts.stack) texts_[kStack] = stack_text_.view();
  pending_ = {true, true, true, true, false, texts.stack.has_value(), true};
  out_.push_back('{');
}

bool JsonRecordWriter::begin_field(std::string_view key) {
  if (drop_marker_ && key == kRedactedMarkerKey) return false;
  const FixedMember member = fixed_member_named(key);
  if (member == kService) service_field_ = true;
  if (member != kNotFixed && pending_[member]) {
    write_member(member);
    return false;
  }
  if (!first_) out_.push_back(',');
  first_ = false;
  write_json_string(key, out_);
  out_.push_back(':');
  if (values_.redacts(key)) {
    write_json_string(kRedacted, out_);
    return false;
  }
  return true;
}

void JsonRecordWriter::set_timestamp(std::string_view timestamp) { texts_[kTimestamp] = timestamp; }

void JsonRecordWriter::finish() {
  if (!service_field_) {
    service_text_ = redact_record_text("service", service_, settings_);
    texts_[kService] = service_text_.view();
    pending_[kService] = true;
  }
  for (size_t m = 0; m < kFixedCount; ++m) {
    if (pending_[m]) write_member(static_cast<FixedMember>(m));
  }
  out_.push_back('}');
}

void JsonRecordWriter::write_member(uint8_t member) {
  pending_[member] = false;
  const MemberKey& key = kMemberKeys[member];
  char* to = out_.room(sizeof key.text);
  if (first_) {
    std::memcpy(to, key.text + 1, sizeof key.text - 1);
    out_.commit(to + key.size - 1);
  } else {
    std::memcpy(to, key.text, sizeof key.text);
    out_.commit(to + key.size);
  }
  first_ = false;
  if (member == kSeverity) {
    out_.push_back(static_cast<char>('0' + severity_));  // 2 to 7: one digit
  } else {
    write_json_string(texts_[member], out_);
  }
}

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
  // With value patterns the root is redacted as a whole first: a pattern
  // may rename a field (to "service", or to the marker key, which then
  // stays), and it sees the "[REDACTED]" of every sensitive key. Without,
  // the fields are written as they are, the marker left out and sensitive
  // values written redacted on the way.
  const bool whole_root = !settings.patterns.empty();
  const FieldMap root = whole_root ? build_record_root(std::move(fields), settings) : std::move(fields);
  const RecordTexts texts{logger, level, service, message, timestamp, stack};
  std::string out = new_line_buffer();
  {
    TextBuffer buffer(out);
    JsonRecordWriter record(buffer, texts, settings, whole_root);
    for (const FieldEntry& entry : root.entries()) {
      if (record.begin_field(entry.key) && !record.values().write(entry.value)) {
        return record.values().take_error();
      }
    }
    record.finish();
  }
  note_line_length(out.size());
  return out;
}

}  // namespace vorlisk
