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
  // As for the JSON line: with value patterns the root is redacted whole
  // first; without, the fields are shown as they are, the marker left out
  // and sensitive values shown redacted on the way.
  const bool whole_root = !settings.patterns.empty();
  const FieldMap root = whole_root ? build_record_root(std::move(fields), settings) : std::move(fields);
  const SensitiveKeys* redacted_keys =
      whole_root || settings.keys().empty() ? nullptr : &settings.keys();
  const LevelRow* level_row = find_level_row(level);
  const std::string other_level = level_row != nullptr ? std::string() : canonical_level_name(level);
  const std::string_view canonical = level_row != nullptr ? level_row->canonical : other_level;
  const std::string_view color = colors ? color_start(canonical) : std::string_view();
  const size_t width = character_count(canonical);

  std::string line = new_line_buffer();
  {
    TextBuffer out(line);
    push_sanitized(out, timestamp);
    out.push_back(' ');
    out.append(color);
    out.push_back('[');
    push_sanitized(out, canonical);
    for (size_t pad = width; pad < kLevelWidth; ++pad) out.push_back(' ');
    out.push_back(']');
    if (colors) out.append(kColorReset);
    out.push_back(' ');
    push_sanitized(out, message_text.view());

    std::optional<std::string_view> exception_text;
    for (const FieldEntry& entry : root.entries()) {
      if (!whole_root && entry.key == kRedactedMarkerKey) continue;
      if (is_hidden_field(entry.key, stack.has_value())) continue;
      const bool redacted = redacted_keys != nullptr && redacted_keys->matches(entry.key);
      if (entry.key == "exception" && (redacted || entry.value.kind() == Value::Kind::Str)) {
        // Shown as the last block.
        exception_text = redacted ? kRedacted : std::string_view(entry.value.as_str());
        continue;
      }
      out.append("  ");
      push_console_token(out, entry.key, false);
      out.push_back('=');
      if (redacted) {
        push_quoted(out, kRedacted);
      } else {
        write_console_value(out, entry.value, redacted_keys);
      }
    }
    if (stack) push_indented_block(out, redact_record_text("stack", *stack, settings).view());
    if (exception_text) push_indented_block(out, *exception_text);
  }
  note_line_length(line.size());
  return line;
}

}  // namespace vorlisk
