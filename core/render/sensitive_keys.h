// Sensitive keys: the field names whose values are never written, matched
// against whole keys ignoring case.
//
// A key matches a candidate when both are ASCII and equal after folding
// "A".."Z" onto "a".."z", and otherwise when their full Unicode lower-case
// forms are equal byte for byte (Kelvin sign, dotted capital I and final
// sigma included). Both rules agree with comparing lower-case forms, so a
// SensitiveKeys holds each candidate lower-cased once, grouped by length:
// an ASCII key is then looked up in place, without allocating, and only
// among the candidates of its own length; a non-ASCII key is lower-cased
// once per lookup. Most keys are sensitive under no list, so a 256-bit
// filter over the candidates' first eight bytes turns almost every one away
// before any candidate is compared.
//
// Thread safety: built once (per configuration, per render call, or the
// shared defaults), never changed afterwards; any number of threads look
// keys up at once without a lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/value/value.h"

namespace vorlisk {

// The keys that are sensitive when no key list is configured.
inline constexpr std::array<std::string_view, 14> kDefaultSensitiveKeys = {
    "password", "passwd",  "secret",     "token",       "api_key", "apikey", "access_token",
    "refresh_token", "authorization", "cookie", "session_id", "credit_card", "ssn",
    "private_key"};

class SensitiveKeys {
 public:
  // Exactly these keys; an empty list makes no key sensitive.
  explicit SensitiveKeys(std::span<const std::string> keys);
  explicit SensitiveKeys(std::span<const std::string_view> keys);

  // The fourteen default keys, built on first use.
  static const SensitiveKeys& defaults();

  bool empty() const { return slots_.empty(); }
  bool matches(std::string_view key) const;

 private:
  // Lengths below this have a range of their own; longer candidates share
  // the last one.
  static constexpr size_t kIndexedLengths = 64;

  struct Slot {
    size_t offset;  // into lowered_
    size_t length;
    uint64_t head;  // the first eight bytes (fewer: zeros follow), one compare
  };

  template <class Text>
  void build(std::span<const Text> keys);
  // The filter bit of a lower-case form whose first eight bytes (zeros
  // after a shorter one) are `head`. A form's head is its key's ASCII head
  // folded, and a key of eight bytes or more has a form of eight or more,
  // so lengths are told apart only below eight.
  static unsigned filter_bit(uint64_t head, size_t length);
  bool may_have(uint64_t head, size_t length) const {
    const unsigned bit = filter_bit(head, length);
    return (filter_[bit / 64] >> (bit % 64)) & 1;
  }
  // `head` is the first eight bytes of the key as it compares: folded
  // when the key is ASCII, else its lower-case form.
  bool has_form(std::string_view key, uint64_t head, bool fold_ascii) const;

  std::string lowered_;      // every distinct lower-case form, back to back
  std::vector<Slot> slots_;  // ordered by length
  // Slots of length n are [first_[n], first_[n + 1]); the long ones start
  // at first_[kIndexedLengths].
  std::array<size_t, kIndexedLengths + 2> first_{};
  std::array<uint64_t, 4> filter_{};  // the filter bits of every form
};

bool is_default_sensitive_key(std::string_view key);
bool is_sensitive_key_in(std::string_view key, const SensitiveKeys& keys);

// Replaces, at any depth, the value of every map entry whose key is
// sensitive by the string "[REDACTED]" (without descending into it). Keys
// and positions never change.
void redact_sensitive_keys_with(Value& value, const SensitiveKeys& keys);
void redact_sensitive_keys(Value& value);  // the default keys

}  // namespace vorlisk
