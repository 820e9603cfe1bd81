#include "core/base/siphash.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vorlisk {
namespace {

constexpr uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
};

uint64_t load_le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint64_t siphash13(SipKey key, const void* data, size_t size) {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* in = static_cast<const unsigned char*>(data);
  const size_t whole = size & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    const uint64_t m = load_le64(in + i);
    s.v3 ^= m;
    s.round();
    s.v0 ^= m;
  }
  uint64_t last = static_cast<uint64_t>(size & 0xff) << 56;
  for (size_t i = 0; i < (size & 7); ++i) last |= static_cast<uint64_t>(in[whole + i]) << (8 * i);
  s.v3 ^= last;
  s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

SipKey random_sip_key() {
  uint64_t words[2] = {0, 0};
  auto* out = reinterpret_cast<unsigned char*>(words);
  size_t filled = 0;
  while (filled < sizeof words) {
    const ssize_t got = getrandom(out + filled, sizeof words - filled, 0);
    if (got > 0) {
      filled += static_cast<size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      // No random source at all: fall back to the clock rather than fail.
      timespec ts{};
      clock_gettime(CLOCK_REALTIME, &ts);
      words[0] ^= static_cast<uint64_t>(ts.tv_nsec) * 0x9e3779b97f4a7c15ULL;
      words[1] ^= static_cast<uint64_t>(ts.tv_sec) ^ reinterpret_cast<uintptr_t>(&ts);
      break;
    }
  }
  return {words[0], words[1]};
}

}  // namespace vorlisk
