// SipHash-1-3: the keyed hash behind every text-keyed hash table, and the
// mixer of the sampling generator's seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorlisk {

struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

uint64_t siphash13(SipKey key, const void* data, size_t size);

// A key drawn from the system's random source (getrandom), so that the
// layout of a table cannot be steered by the texts put into it.
SipKey random_sip_key();

// Hash functor for std::unordered_map / unordered_set keyed by text. Each
// default-constructed hasher draws a fresh random key.
class KeyedTextHash {
 public:
  using is_transparent = void;
  KeyedTextHash() : key_(random_sip_key()) {}
  size_t operator()(std::string_view text) const {
    return static_cast<size_t>(siphash13(key_, text.data(), text.size()));
  }

 private:
  SipKey key_;
};

}  // namespace vorlisk
