// Value-pattern redaction of record texts and of value trees.
#include "core/render/redaction.h"

#include <charconv>

namespace vorlisk {

bool apply_value_patterns(std::string_view text, std::span<const CompiledPattern> patterns,
                          std::string_view replacement, const PatternPrefilter* prefilter,
                          std::string& out) {
  // Cleared: no linear pattern matches `text`, so each may be skipped for
  // as long as the text is unchanged.
  const bool cleared = prefilter != nullptr && !prefilter->may_match(text);
  if (cleared && prefilter->covers_all()) return false;
  bool changed = false;
  for (const CompiledPattern& pattern : patterns) {
    if (cleared && !changed && !pattern.is_backtracking()) continue;
    std::optional<std::string> next =
        redact_with_pattern(pattern, changed ? std::string_view(out) : text, replacement);
    if (next) {
      out = std::move(*next);
      changed = true;
    }
  }
  return changed;
}

namespace {

// A big integer's text is searched only when it reads as one: digits with
// at most one leading "-".
bool is_integer_text(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

class PatternWalk {
 public:
  PatternWalk(std::span<const CompiledPattern> patterns, std::string_view replacement,
              const PatternPrefilter* prefilter)
      : patterns_(patterns), replacement_(replacement), prefilter_(prefilter) {}

  void walk(Value& value) {
    switch (value.kind()) {
      case Value::Kind::Str:
        if (apply(value.as_str())) value.as_str() = std::move(scratch_);
        break;
      case Value::Kind::Int: {
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, value.as_int());
        if (apply(std::string_view(digits, static_cast<size_t>(written.ptr - digits)))) {
          value = Value::str(std::move(scratch_));
        }
        break;
      }
      case Value::Kind::BigInt:
        if (is_integer_text(value.as_big_int()) && apply(value.as_big_int())) {
          value = Value::str(std::move(scratch_));
        }
        break;
      case Value::Kind::List:
        for (Value& item : value.as_list()) walk(item);
        break;
      case Value::Kind::Map:
        walk_map(value.as_map());
        break;
      case Value::Kind::Null:
      case Value::Kind::Bool:
      case Value::Kind::Float:
        break;
    }
  }

 private:
  bool apply(std::string_view text) {
    return apply_value_patterns(text, patterns_, replacement_, prefilter_, scratch_);
  }

  void walk_map(FieldMap& map) {
    bool key_changed = false;
    for (FieldEntry& entry : map.entries()) {
      if (apply(entry.key)) {
        entry.key = std::move(scratch_);
        key_changed = true;
      }
      walk(entry.value);
    }
    // Changed keys may now collide: each keeps its first position and its
    // last value.
    if (key_changed) dedupe_fields(map);
  }

  std::span<const CompiledPattern> patterns_;
  std::string_view replacement_;
  const PatternPrefilter* prefilter_;
  std::string scratch_;  // the text a change produced, moved out at once
};

}  // namespace

std::string redact_text_field(std::string_view record_key, std::string_view text,
                              const RedactionSettings& settings) {
  if (settings.keys().matches(record_key)) return std::string(kRedacted);
  std::string redacted;
  if (apply_value_patterns(text, settings.patterns, settings.replacement, settings.prefilter, redacted)) {
    return redacted;
  }
  return std::string(text);
}

void redact_value_patterns(Value& value, std::span<const CompiledPattern> patterns,
                           std::string_view replacement, const PatternPrefilter* prefilter) {
  if (patterns.empty()) return;
  PatternWalk(patterns, replacement, prefilter).walk(value);
}

}  // namespace vorlisk
