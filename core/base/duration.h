// Durations given to the Python API as float seconds.
//
// Both conversions keep whole seconds exact and round the fraction to the
// nearest nanosecond (ties to even) from the float's exact binary value, so
// 0.0009765625 s is 976562 ns and 1.9999999999 s carries into 2 s.
#pragma once

#include <cstdint>
#include <optional>

namespace vorlisk {

struct Duration {
  uint64_t secs = 0;
  uint32_t nanos = 0;  // always 0..999'999'999

  static constexpr Duration max() { return {UINT64_MAX, 999'999'999}; }
  friend bool operator==(const Duration&, const Duration&) = default;
};

// `seconds` must be finite and >= 0 (callers validate). Values below 2^-31 s
// give zero; values of 2^64 s or more cannot be represented and give nothing.
std::optional<Duration> duration_from_secs(double seconds);

// The optional wait limit shared by every `stall_timeout` parameter.
// No value means "wait without limit". Negative values, -0.0 and NaN give the
// zero duration; 2^64 s and more (infinity included) saturate to max().
std::optional<Duration> stall_timeout_from_secs(std::optional<double> seconds);

}  // namespace vorlisk
