// The sampling stage: keeps a random fraction of the records at or below a
// level bound and every record above it.
//
// Draws come from a per-thread generator (wyrand), seeded at the thread's
// first draw and shared by every filter used on that thread. A child made by
// fork() seeds its generator afresh at its first draw, so that pre-forked
// workers never repeat their parent's sequence (or each other's); the
// parent's sequence goes on unchanged. A decision takes no lock and
// allocates nothing.
//
// Thread safety: SamplerStage is immutable; the generator is thread-local.
#pragma once

#include <cstdint>
#include <optional>

#include "core/base/monotonic.h"

namespace vorlisk {

struct SamplerStage {
  bool has_max_level = false;
  uint32_t max_level = 0;  // levels above it always pass
  double rate = 1.0;       // pass probability, 0.0 <= rate < 1.0
};

// True when the record passes. Levels above the bound and a rate of 0 or
// less decide without a draw.
bool sample_allows(const SamplerStage& stage, uint32_t level);

// One draw u, 0.0 <= u < 1.0, from the calling thread's generator.
double next_unit_float();

// Whether the calling thread's generator has been seeded (its first draw).
bool sampler_rng_seeded();

// The seed of the calling thread's generator, from the monotonic clock and
// the thread's identifier: its number, and in a forked child its number
// combined with the process id (siblings forked from one thread may seed
// at the same instant).
uint64_t sampling_rng_seed();
// SipHash-1-3 (zero key) over the instant's seconds (i64 LE), its
// nanoseconds (u32 LE) and the thread number (u64 LE): 20 bytes.
uint64_t sampling_rng_seed_from(MonotonicInstant instant, uint64_t thread_number);

// The generator's pieces, exposed for tests:
// one wyrand step, advancing `state` and returning the 64 random bits;
uint64_t wyrand_step(uint64_t& state);
// the unit float of 64 random bits, or nothing when it rounds to 1.0.
std::optional<double> unit_float_from_bits(uint64_t bits);
// a process-unique number for the calling thread, 1 for the first thread
// that asks;
uint64_t current_thread_number();
// the calling thread's generator state (0 before its first draw).
uint64_t sampler_rng_state();

}  // namespace vorlisk
