#include "core/pattern/pattern_source.h"

#include "core/base/utf8.h"
#include "core/pattern/unicode_sets.h"

namespace vorlisk::pattern {

Fault engine_fault(std::string_view message, std::string_view quoted, size_t begin, size_t end) {
  std::string text(message);
  if (!quoted.empty()) {
    text += ": ";
    text += quoted;
  }
  return Fault{std::move(text), false, begin, end};
}

Fault utf8_fault(size_t begin, size_t end) { return Fault{"invalid UTF-8", false, begin, end}; }

Fault refusal_fault(std::string text, size_t begin, size_t end) {
  return Fault{std::move(text), true, begin, end};
}

std::string at_position(size_t pos) { return " at position " + std::to_string(pos); }

size_t PatternSource::decode(size_t pos, char32_t& cp) const {
  if (pos >= text_.size()) return 0;
  const Utf8Character character = utf8_character_at(text_, pos);
  if (!character.well_formed) return 0;
  cp = character.code_point;
  return character.size;
}

size_t PatternSource::invalid_length(size_t pos) const {
  size_t end = pos + 1;
  while (end < text_.size() && (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80) ++end;
  return end - pos;
}

size_t PatternSource::first_invalid(size_t begin, size_t end) const {
  for (size_t at = begin; at < end;) {
    char32_t cp = 0;
    const size_t length = decode(at, cp);
    if (length == 0) return at;
    at += length;
  }
  return std::string_view::npos;
}

size_t PatternSource::space_at(size_t pos) const {
  char32_t cp = 0;
  const size_t length = decode(pos, cp);
  if (length == 0) return 0;  // bytes that are no character stay, to be reported
  if (cp < 0x80) return (cp == ' ' || (cp >= '\t' && cp <= '\r')) ? 1 : 0;
  return contains(unicode_set(unicode_tables::kSpaceSet), cp) ? length : 0;
}

bool PatternSource::skip_ignored(size_t& pos, const Flags& flags) const {
  if (!flags.extended) return false;
  const size_t start = pos;
  while (pos < text_.size()) {
    if (text_[pos] == '#') {
      const size_t line_end = text_.find('\n', pos);
      pos = line_end == std::string_view::npos ? text_.size() : line_end + 1;
    } else if (const size_t length = space_at(pos)) {
      pos += length;
    } else {
      break;
    }
  }
  return pos != start;
}

}  // namespace vorlisk::pattern
