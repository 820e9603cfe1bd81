// Word-at-a-time byte classes for the text writers: eight bytes are tested
// per step, so that the plain runs that make up almost every text are found
// without a branch per byte.
//
// A mask has the high bit of each flagged byte set. A borrow or carry may
// also flag bytes above (after, in memory order) a truly flagged one, never
// below it: the lowest flagged byte, and whether any byte is flagged, are
// always exact. Pure functions; safe on any thread.
//
// Bytes are read only inside the text: a short text is read in overlapping
// pieces, never past its end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorlisk::byte_scan {

inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHighs = 0x8080808080808080ull;

// Bytes below `limit` (at most 0x80).
constexpr uint64_t below(uint64_t word, uint8_t limit) { return (word - kOnes * limit) & ~word & kHighs; }

constexpr uint64_t equal_to(uint64_t word, char c) {
  return below(word ^ (kOnes * static_cast<uint8_t>(c)), 1);
}

// Bytes below `limit` (at most 0x80) or equal to one of `chars` (each
// below 0x80). Cheaper than OR-ing below() and equal_to(): x ^ c keeps x's
// high bit for such a c, so every test shares one mask of the bytes below
// 0x80.
template <class... Chars>
constexpr uint64_t below_or_equal_to(uint64_t word, uint8_t limit, Chars... chars) {
  const uint64_t borrows =
      (word - kOnes * limit) | (uint64_t{0} | ... | ((word ^ (kOnes * static_cast<uint8_t>(chars))) - kOnes));
  return borrows & ~word & kHighs;
}

// DEL and every byte of 0x80 or above (all non-ASCII UTF-8).
constexpr uint64_t del_or_high(uint64_t word) { return (word | (word + kOnes)) & kHighs; }

template <class Word>
Word load(const char* p) {
  Word word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The 1 to 7 bytes at `p` in the low bytes of a word, the high ones filled
// with `pad`. Built from two overlapping loads rather than a copy into a
// word on the stack, whose partial stores would stall the wide load.
inline uint64_t load_short(const char* p, size_t count, char pad) {
  uint64_t word;
  if (count >= 4) {
    word = load<uint32_t>(p) | (uint64_t{load<uint32_t>(p + count - 4)} << (8 * (count - 4)));
  } else if (count >= 2) {
    word = load<uint16_t>(p) | (uint64_t{load<uint16_t>(p + count - 2)} << (8 * (count - 2)));
  } else {
    word = static_cast<uint8_t>(*p);
  }
  return word | ((kOnes * static_cast<uint8_t>(pad)) << (8 * count));
}

// The offset of the first byte of `text` that `flags` marks, or
// text.size(). `pad` must be a byte `flags` never marks: it fills the word
// of a text shorter than eight bytes.
template <class Flags>
size_t first_flagged(std::string_view text, const Flags& flags, char pad = 'a') {
  static_assert(std::endian::native == std::endian::little);
  const char* p = text.data();
  const size_t n = text.size();
  if (n < 8) {
    if (n == 0) return 0;
    const uint64_t mask = flags(load_short(p, n, pad));
    return mask != 0 ? static_cast<size_t>(std::countr_zero(mask)) / 8 : n;
  }
  size_t i = 0;
  for (; n - i >= 8; i += 8) {
    if (const uint64_t mask = flags(load<uint64_t>(p + i))) {
      return i + static_cast<size_t>(std::countr_zero(mask)) / 8;
    }
  }
  if (i == n) return n;
  // The last eight bytes, overlapping some already found plain: those lie
  // below every byte not yet tested, so nothing can flag them now.
  const uint64_t mask = flags(load<uint64_t>(p + n - 8));
  return mask != 0 ? n - 8 + static_cast<size_t>(std::countr_zero(mask)) / 8 : n;
}

// Stores `text` at `to`, whole words of eight bytes at a time, when
// `flags` marks none of its bytes, and tells whether it did; when it did
// not, the bytes at `to` are of no use. Words may be stored up to eight
// bytes past the text's end: `to` needs room for text.size() + 8 bytes.
// `pad` as for first_flagged.
template <class Flags>
bool store_unflagged(std::string_view text, char* to, const Flags& flags, char pad = 'a') {
  const char* p = text.data();
  const size_t n = text.size();
  const auto store = [](char* at, uint64_t word) { std::memcpy(at, &word, sizeof word); };
  if (n < 8) {
    if (n == 0) return true;
    const uint64_t word = load_short(p, n, pad);
    if (flags(word) != 0) return false;
    store(to, word);
    return true;
  }
  size_t i = 0;
  for (; n - i > 16; i += 16) {
    const uint64_t first = load<uint64_t>(p + i);
    const uint64_t second = load<uint64_t>(p + i + 8);
    if ((flags(first) | flags(second)) != 0) return false;
    store(to + i, first);
    store(to + i + 8, second);
  }
  if (n - i > 8) {
    const uint64_t word = load<uint64_t>(p + i);
    if (flags(word) != 0) return false;
    store(to + i, word);
  }
  // The last eight bytes, overlapping some already stored.
  const uint64_t word = load<uint64_t>(p + n - 8);
  if (flags(word) != 0) return false;
  store(to + n - 8, word);
  return true;
}

}  // namespace vorlisk::byte_scan
