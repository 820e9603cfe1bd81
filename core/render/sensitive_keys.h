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
// once per lookup. Most keys are sensitive under no list, so a filter over
// the candidates' first eight bytes (a 1024-bit Bloom filter, two bits per
// candidate) turns almost every one away before any candidate is compared.
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

#include "core/render/byte_scan.h"
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
  static const SensitiveKeys& defaults() {
    static const SensitiveKeys keys{std::span<const std::string_view>(kDefaultSensitiveKeys)};
    return keys;
  }

  bool empty() const { return slots_.empty(); }

  // Inline up to the filter, which answers for almost every key.
  bool matches(std::string_view key) const {
    const uint64_t head = head_of(key);
    if ((head & byte_scan::kHighs) != 0) return matches_lowered(key);
    // The head is ASCII: folded, it is the head of the key's lower-case form.
    const uint64_t folded = fold_ascii(head);
    return may_have(folded, key.size()) && matches_past_filter(key, folded);
  }

 private:
  // Lengths below this have a range of their own; longer candidates share
  // the last one.
  static constexpr size_t kIndexedLengths = 64;

  struct Slot {
    size_t offset;  // into lowered_
    size_t length;
    uint64_t head;  // the first eight bytes (fewer: zeros follow), one compare
  };

  // The first eight bytes of `text`, zeros after a shorter text.
  static uint64_t head_of(std::string_view text) {
    if (text.size() >= 8) return byte_scan::load<uint64_t>(text.data());
    if (text.empty()) return 0;
    return byte_scan::load_short(text.data(), text.size(), '\0');
  }
  // "A".."Z" folded onto "a".."z" in a word of ASCII bytes (zeros
  // included). No byte can carry into the next: each is at most 0x7F
  // before the add.
  static uint64_t fold_ascii(uint64_t word) {
    using byte_scan::kHighs;
    using byte_scan::kOnes;
    const uint64_t from_a = (word + kOnes * (0x80 - 'A')) & kHighs;
    const uint64_t past_z = (word + kOnes * (0x80 - 'Z' - 1)) & kHighs;
    return word | ((from_a & ~past_z) >> 2);
  }

  template <class Text>
  void build(std::span<const Text> keys);
  // A key whose head is ASCII and passed the filter.
  bool matches_past_filter(std::string_view key, uint64_t folded_head) const;
  // Any key, through its Unicode lower-case form.
  bool matches_lowered(std::string_view key) const;
  // The filter bits of a lower-case form whose first eight bytes (zeros
  // after a shorter one) are `head`: two bits of one hash. A form's head
  // is its key's ASCII head folded, and a key of eight bytes or more has a
  // form of eight or more, so lengths are told apart only below eight.
  static uint64_t filter_hash(uint64_t head, size_t length) {
    return (head ^ (length < 8 ? length : 8)) * 0x9E3779B97F4A7C15ull;
  }
  static unsigned first_bit(uint64_t hash) { return static_cast<unsigned>(hash >> (64 - kFilterBitsLog2)); }
  static unsigned second_bit(uint64_t hash) {
    return static_cast<unsigned>(hash >> (64 - 2 * kFilterBitsLog2)) & ((1u << kFilterBitsLog2) - 1);
  }
  bool filter_has(unsigned bit) const { return (filter_[bit / 64] >> (bit % 64)) & 1; }
  bool may_have(uint64_t head, size_t length) const {
    const uint64_t hash = filter_hash(head, length);
    return filter_has(first_bit(hash)) && filter_has(second_bit(hash));
  }
  // `head` is the first eight bytes of the key as it compares: folded
  // when the key is ASCII, else its lower-case form.
  bool has_form(std::string_view key, uint64_t head, bool fold_ascii) const;

  std::string lowered_;      // every distinct lower-case form, back to back
  std::vector<Slot> slots_;  // ordered by length
  // Slots of length n are [first_[n], first_[n + 1]); the long ones start
  // at first_[kIndexedLengths].
  std::array<size_t, kIndexedLengths + 2> first_{};
  // The filter bits of every form: with the fourteen default keys, fewer
  // than one in a thousand other keys pass.
  static constexpr unsigned kFilterBitsLog2 = 10;
  std::array<uint64_t, (1u << kFilterBitsLog2) / 64> filter_{};
};

bool is_default_sensitive_key(std::string_view key);
bool is_sensitive_key_in(std::string_view key, const SensitiveKeys& keys);

// Replaces, at any depth, the value of every map entry whose key is
// sensitive by the string "[REDACTED]" (without descending into it). Keys
// and positions never change.
void redact_sensitive_keys_with(Value& value, const SensitiveKeys& keys);
void redact_sensitive_keys(Value& value);  // the default keys

}  // namespace vorlisk
