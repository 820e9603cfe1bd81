#include "core/render/console_record.h"

#include "core/render/console_text.h"
#include "core/render/json_record.h"
#include "core/render/record_text.h"
#include "core/render/text_buffer.h"
#include "core/value/levels.h"

namespace vorlisk {
namespace {

constexpr size_t kLevelWidth = 8;  // characters, not bytes
constexpr std::string_view kColorReset = "\x1b[0m";

std::string_view color_start(std::string_view canonical_level) {
  if (canonical_level == "DEBUG") return "\x1b[2m";
  if (canonical_level == "WARN") return "\x1b[33m";
  if (canonical_level == "ERROR") return "\x1b[31m";
  if (canonical_level == "CRITICAL") return "\x1b[1;31m";
  return {};
}

size_t character_count(std::string_view text) {
  size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

bool is_hidden_field(std::string_view key, bool stack_given) {
  return key == "level" || key == "logger" || key == "message" || key == "severity" ||
         key == "timestamp" || (stack_given && key == "stack");
}

}  // namespace

std::string render_console_line(FieldMap fields, std::string_view level, std::string_view message,
                                bool colors, std::string_view timestamp,
                                const RedactionSettings& settings,
                                std::optional<std::string_view> stack) {
  const RedactedText message_text = redact_record_text("message", message, settings);
  const FieldMap root = build_record_root(std::move(fields), settings);
  std::string padded_level = canonical_level_name(level);
  const std::string_view color = colors ? color_start(padded_level) : std::string_view();
  const size_t width = character_count(padded_level);
  if (width < kLevelWidth) padded_level.append(kLevelWidth - width, ' ');

  std::string line;
  line.reserve(line_capacity_hint());
  push_sanitized(line, timestamp);
  line.push_back(' ');
  line.append(color);
  line.push_back('[');
  push_sanitized(line, padded_level);
  line.push_back(']');
  if (colors) line.append(kColorReset);
  line.push_back(' ');
  push_sanitized(line, message_text.view());

  const std::string* exception_text = nullptr;
  for (const FieldEntry& entry : root.entries()) {
    if (is_hidden_field(entry.key, stack.has_value())) continue;
    if (entry.key == "exception" && entry.value.kind() == Value::Kind::Str) {
      exception_text = &entry.value.as_str();  // shown as the last block
      continue;
    }
    line.append("  ");
    push_console_token(line, entry.key, false);
    line.push_back('=');
    write_console_value(line, entry.value);
  }
  if (stack) push_indented_block(line, redact_record_text("stack", *stack, settings).view());
  if (exception_text != nullptr) push_indented_block(line, *exception_text);
  note_line_length(line.size());
  return line;
}

}  // namespace vorlisk
