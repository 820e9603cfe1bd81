#include "core/filter/sampler.h"

#include <unistd.h>

#include <atomic>

#include "core/base/fork_guard.h"
#include "core/base/siphash.h"

namespace vorlisk {
namespace {

constexpr uint64_t kWyIncrement = 0x2d358dccaa6c78a5ULL;
constexpr uint64_t kWyMix = 0x8bb84b93962eacc9ULL;
constexpr double kTwoPowMinus63 = 1.0 / 9223372036854775808.0;

// A generator seeded under another fork count than the process's was
// seeded in an ancestor, whose sequence the child must not repeat. The
// count moves only in a new child, so a parent's generators are never
// seeded again.
struct SamplerRng {
  uint64_t state = 0;
  bool seeded = false;
  uint64_t forks = 0;  // fork_count() when it was seeded
};

thread_local SamplerRng t_rng;

void put_le(unsigned char* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

uint64_t current_thread_number() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t number = next.fetch_add(1, std::memory_order_relaxed);
  return number;
}

uint64_t sampling_rng_seed_from(MonotonicInstant instant, uint64_t thread_number) {
  unsigned char message[20];
  put_le(message, static_cast<uint64_t>(instant.secs), 8);
  put_le(message + 8, instant.nanos, 4);
  put_le(message + 12, thread_number, 8);
  return siphash13(SipKey{}, message, sizeof message);
}

uint64_t sampling_rng_seed() {
  uint64_t thread_id = current_thread_number();
  if (fork_count() != 0) {
    thread_id ^= static_cast<uint64_t>(static_cast<uint32_t>(getpid())) << 32;
  }
  return sampling_rng_seed_from(MonotonicInstant::now(), thread_id);
}

uint64_t wyrand_step(uint64_t& state) {
  state += kWyIncrement;
  const unsigned __int128 product =
      static_cast<unsigned __int128>(state) * (state ^ kWyMix);
  return static_cast<uint64_t>(product >> 64) ^ static_cast<uint64_t>(product);
}

std::optional<double> unit_float_from_bits(uint64_t bits) {
  // 63 bits do not fit a double's significand: values just below 2^63
  // round up to 2^63, and that 1.0 is refused.
  const double u = static_cast<double>(bits >> 1) * kTwoPowMinus63;
  if (u >= 1.0) return std::nullopt;
  return u;
}

double next_unit_float() {
  SamplerRng& rng = t_rng;
  const uint64_t forks = fork_count();
  if (!rng.seeded || rng.forks != forks) {
    rng.state = sampling_rng_seed();
    rng.seeded = true;
    rng.forks = forks;
  }
  for (;;) {
    if (const auto u = unit_float_from_bits(wyrand_step(rng.state))) return *u;
  }
}

bool sampler_rng_seeded() { return t_rng.seeded; }

uint64_t sampler_rng_state() { return t_rng.state; }

bool sample_allows(const SamplerStage& stage, uint32_t level) {
  if (stage.has_max_level && level > stage.max_level) return true;
  if (stage.rate <= 0.0) return false;
  return stage.rate > next_unit_float();
}

}  // namespace vorlisk
