// Redaction of a record's own texts (message, logger, service, stack) for
// the renderers, which write the result straight into their line.
//
// The result equals redact_text_field's, but an unchanged text is only
// referred to, never copied: a record whose texts match no value pattern
// costs no allocation here.
#pragma once

#include <string>
#include <string_view>

#include "core/render/redaction.h"

namespace vorlisk {

// A redacted record text: the original (or the fixed "[REDACTED]"), or a
// new text when a value pattern changed it. Refers to the text it was made
// from, which must outlive it.
class RedactedText {
 public:
  static RedactedText borrowed(std::string_view text) { return RedactedText(text); }
  static RedactedText owned(std::string text) { return RedactedText(std::move(text)); }

  std::string_view view() const { return is_owned_ ? std::string_view(owned_) : borrowed_; }

 private:
  explicit RedactedText(std::string_view text) : borrowed_(text) {}
  explicit RedactedText(std::string text) : owned_(std::move(text)), is_owned_(true) {}

  std::string_view borrowed_;
  std::string owned_;
  bool is_owned_ = false;
};

// `text` with every value pattern applied in order (there is at least one).
RedactedText redact_record_text_by_patterns(std::string_view text, const RedactionSettings& settings);

// `text` as it will stand under `record_key`: "[REDACTED]" when that key is
// sensitive for the settings' key list (patterns are then not applied),
// otherwise with every value pattern applied in order. Inline: most
// configurations have no patterns.
inline RedactedText redact_record_text(std::string_view record_key, std::string_view text,
                                       const RedactionSettings& settings) {
  if (settings.keys().matches(record_key)) return RedactedText::borrowed(kRedacted);
  if (settings.patterns.empty()) return RedactedText::borrowed(text);
  return redact_record_text_by_patterns(text, settings);
}

}  // namespace vorlisk
