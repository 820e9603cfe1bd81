#include "core/render/record_text.h"

namespace vorlisk {

RedactedText redact_record_text(std::string_view record_key, std::string_view text,
                                const RedactionSettings& settings) {
  const bool sensitive = settings.sensitive_keys != nullptr
                             ? is_sensitive_key_in(record_key, *settings.sensitive_keys)
                             : is_default_sensitive_key(record_key);
  if (sensitive) return RedactedText::borrowed(kRedacted);
  RedactedText current = RedactedText::borrowed(text);
  for (const CompiledPattern& pattern : settings.patterns) {
    // The new text is complete before `current` lets go of the old one.
    if (auto changed = redact_with_pattern(pattern, current.view(), settings.replacement)) {
      current = RedactedText::owned(std::move(*changed));
    }
  }
  return current;
}

}  // namespace vorlisk
