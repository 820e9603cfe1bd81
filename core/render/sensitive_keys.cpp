// The sensitive-key tests and the redaction of a value tree by keys.
#include "core/render/key_case.h"
#include "core/render/redaction.h"

namespace vorlisk {
namespace {

bool matches_any(std::string_view key, const auto& candidates) {
  CaseInsensitiveKey folded(key);
  for (const auto& candidate : candidates) {
    if (folded.matches(candidate)) return true;
  }
  return false;
}

template <class IsSensitive>
void redact_by_keys(Value& value, const IsSensitive& is_sensitive) {
  switch (value.kind()) {
    case Value::Kind::List:
      for (Value& item : value.as_list()) redact_by_keys(item, is_sensitive);
      break;
    case Value::Kind::Map:
      for (FieldEntry& entry : value.as_map().entries()) {
        if (is_sensitive(entry.key)) {
          entry.value = Value::str(std::string(kRedacted));
        } else {
          redact_by_keys(entry.value, is_sensitive);
        }
      }
      break;
    default:
      break;
  }
}

}  // namespace

bool is_default_sensitive_key(std::string_view key) { return matches_any(key, kDefaultSensitiveKeys); }

bool is_sensitive_key_in(std::string_view key, std::span<const std::string> keys) {
  return matches_any(key, keys);
}

void redact_sensitive_keys_with(Value& value, std::span<const std::string> keys) {
  if (keys.empty()) return;
  redact_by_keys(value, [keys](std::string_view key) { return is_sensitive_key_in(key, keys); });
}

void redact_sensitive_keys(Value& value) {
  redact_by_keys(value, [](std::string_view key) { return is_default_sensitive_key(key); });
}

}  // namespace vorlisk
