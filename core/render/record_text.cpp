#include "core/render/record_text.h"

namespace vorlisk {

RedactedText redact_record_text_by_patterns(std::string_view text, const RedactionSettings& settings) {
  std::string changed;
  if (apply_value_patterns(text, settings.patterns, settings.replacement, settings.prefilter, changed)) {
    return RedactedText::owned(std::move(changed));
  }
  return RedactedText::borrowed(text);
}

}  // namespace vorlisk
