// The sensitive-key matcher and the redaction of a value tree by keys.
#include "core/render/sensitive_keys.h"

#include <algorithm>
#include <cstring>

#include "core/base/utf8.h"
#include "core/render/byte_scan.h"
#include "core/render/key_case.h"
#include "core/render/redaction.h"

namespace vorlisk {
namespace {

constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// `key` (ASCII) folded equals `lowered`, a candidate's lower-case form:
// the lower-case form of ASCII text is its folding.
bool folded_equal(std::string_view key, const char* lowered) {
  for (size_t i = 0; i < key.size(); ++i) {
    if (ascii_lower(key[i]) != lowered[i]) return false;
  }
  return true;
}

void redact_by_keys(Value& value, const SensitiveKeys& keys) {
  switch (value.kind()) {
    case Value::Kind::List:
      for (Value& item : value.as_list()) redact_by_keys(item, keys);
      break;
    case Value::Kind::Map:
      for (FieldEntry& entry : value.as_map().entries()) {
        if (keys.matches(entry.key)) {
          entry.value = Value::str(std::string(kRedacted));
        } else {
          redact_by_keys(entry.value, keys);
        }
      }
      break;
    default:
      break;
  }
}

}  // namespace

SensitiveKeys::SensitiveKeys(std::span<const std::string> keys) { build(keys); }
SensitiveKeys::SensitiveKeys(std::span<const std::string_view> keys) { build(keys); }

template <class Text>
void SensitiveKeys::build(std::span<const Text> keys) {
  std::vector<std::string> forms;
  forms.reserve(keys.size());
  for (const Text& key : keys) forms.push_back(unicode_lowercase(key));
  std::sort(forms.begin(), forms.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  forms.erase(std::unique(forms.begin(), forms.end()), forms.end());

  size_t total = 0;
  for (const std::string& form : forms) total += form.size();
  lowered_.reserve(total);
  slots_.reserve(forms.size());
  for (const std::string& form : forms) {
    slots_.push_back(Slot{lowered_.size(), form.size(), head_of(form)});
    lowered_.append(form);
    // Folded: a form that is not valid UTF-8 was not lower-cased.
    const uint64_t head = head_of(form);
    const uint64_t hash = filter_hash((head & byte_scan::kHighs) == 0 ? fold_ascii(head) : head, form.size());
    for (const unsigned bit : {first_bit(hash), second_bit(hash)}) filter_[bit / 64] |= uint64_t{1} << (bit % 64);
  }
  size_t slot = 0;
  for (size_t length = 0; length <= kIndexedLengths; ++length) {
    while (slot < slots_.size() && slots_[slot].length < length) ++slot;
    first_[length] = slot;
  }
  first_[kIndexedLengths + 1] = slots_.size();
}

bool SensitiveKeys::matches_past_filter(std::string_view key, uint64_t folded_head) const {
  if (key.size() <= 8 || is_ascii(key)) return has_form(key, folded_head, true);
  return matches_lowered(key);
}

bool SensitiveKeys::matches_lowered(std::string_view key) const {
  if (slots_.empty()) return false;
  const std::string lowered = unicode_lowercase(key);
  return has_form(lowered, head_of(lowered), false);
}

bool SensitiveKeys::has_form(std::string_view key, uint64_t head, bool fold_ascii) const {
  const size_t bucket = std::min(key.size(), kIndexedLengths);
  for (size_t i = first_[bucket]; i < first_[bucket + 1]; ++i) {
    const Slot& slot = slots_[i];
    // The length differs only among the long ones.
    if (slot.head != head || slot.length != key.size()) continue;
    if (key.size() <= 8) return true;
    const std::string_view rest = key.substr(8);
    const char* candidate = lowered_.data() + slot.offset + 8;
    if (fold_ascii ? folded_equal(rest, candidate) : std::memcmp(rest.data(), candidate, rest.size()) == 0) {
      return true;
    }
  }
  return false;
}

bool is_default_sensitive_key(std::string_view key) { return SensitiveKeys::defaults().matches(key); }

bool is_sensitive_key_in(std::string_view key, const SensitiveKeys& keys) { return keys.matches(key); }

void redact_sensitive_keys_with(Value& value, const SensitiveKeys& keys) {
  if (!keys.empty()) redact_by_keys(value, keys);
}

void redact_sensitive_keys(Value& value) { redact_by_keys(value, SensitiveKeys::defaults()); }

}  // namespace vorlisk
