#include "core/render/record_text.h"

namespace vorlisk {

RedactedText redact_record_text(std::string_view record_key, std::string_view text,
                                const RedactionSettings& settings) {
  if (settings.keys().matches(record_key)) return RedactedText::borrowed(kRedacted);
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
