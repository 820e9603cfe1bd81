#include "core/render/record_text.h"

namespace vorlisk {

RedactedText redact_record_text(std::string_view record_key, std::string_view text,
                                const RedactionSettings& settings) {
  if (settings.keys().matches(record_key)) return RedactedText::borrowed(kRedacted);
  std::string changed;
  if (apply_value_patterns(text, settings.patterns, settings.replacement, settings.prefilter, changed)) {
    return RedactedText::owned(std::move(changed));
  }
  return RedactedText::borrowed(text);
}

}  // namespace vorlisk
