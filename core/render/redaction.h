// Redaction of a record: values under sensitive keys become "[REDACTED]",
// and the value patterns replace their matches in strings, integer texts
// and map keys, and in the record's own texts (message, logger, service,
// stack).
//
// Every function runs on the calling thread over values the caller owns;
// key lists and compiled patterns are only read and may be shared.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/pattern/pattern.h"
#include "core/pattern/pattern_prefilter.h"
#include "core/render/sensitive_keys.h"
#include "core/value/value.h"

namespace vorlisk {

// What a sensitive key's value, and a sensitive record text, become.
inline constexpr std::string_view kRedacted = "[REDACTED]";

// A field with exactly this key is dropped before rendering.
inline constexpr std::string_view kRedactedMarkerKey = "_vorlisk_redacted";

// The redaction inputs of one record.
struct RedactionSettings {
  // Null: the default keys. Non-null (even empty): exactly these keys.
  const SensitiveKeys* sensitive_keys = nullptr;
  // Applied in order; empty means no value-pattern redaction.
  std::span<const CompiledPattern> patterns;
  // Replacement for pattern matches (never for sensitive keys).
  std::string_view replacement = kRedacted;
  // Null, or built from exactly `patterns`: lets a text that none of them
  // matches skip the searches one by one.
  const PatternPrefilter* prefilter = nullptr;

  const SensitiveKeys& keys() const {
    return sensitive_keys != nullptr ? *sensitive_keys : SensitiveKeys::defaults();
  }
};

// The redacted form of a record text that will stand under `record_key`
// ("message", "logger", "service" or "stack").
std::string redact_text_field(std::string_view record_key, std::string_view text,
                              const RedactionSettings& settings);

// Runs the patterns in order over `text`, each on the previous one's
// output. True when one changed it, the final text then in `out`, which is
// written only then: an unmatched text is never copied. `prefilter` is null
// or built from exactly `patterns`.
bool apply_value_patterns(std::string_view text, std::span<const CompiledPattern> patterns,
                          std::string_view replacement, const PatternPrefilter* prefilter,
                          std::string& out);

// Applies the patterns, in order, to every string, to the decimal text of
// every integer and big integer (a changed number becomes a string) and to
// every map key (changed keys that collide keep the first position and take
// the last value). Floats, booleans and nulls are never changed.
void redact_value_patterns(Value& value, std::span<const CompiledPattern> patterns,
                           std::string_view replacement, const PatternPrefilter* prefilter = nullptr);

}  // namespace vorlisk
