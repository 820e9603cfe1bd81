#include "core/base/duration.h"

#include <cmath>

namespace vorlisk {
namespace {

constexpr double kTwoPow64 = 18446744073709551616.0;
constexpr double kTwoPowMinus31 = 4.656612873077393e-10;

// Nanoseconds of `fraction` (0 <= fraction < 1) rounded half to even,
// computed exactly: fraction = m * 2^e with m < 2^53, so m * 10^9 fits 128 bits.
uint64_t round_fraction_to_nanos(double fraction) {
  if (fraction == 0.0) return 0;
  int exponent = 0;
  const double normalized = std::frexp(fraction, &exponent);  // [0.5, 1)
  const auto mantissa = static_cast<uint64_t>(std::ldexp(normalized, 53));
  const int shift = 53 - exponent;  // fraction = mantissa * 2^-shift, shift > 53
  const unsigned __int128 product = static_cast<unsigned __int128>(mantissa) * 1'000'000'000u;
  if (shift >= 120) return 0;  // product < 2^83, far below half a nanosecond
  const unsigned __int128 one = 1;
  const unsigned __int128 quotient = product >> shift;
  const unsigned __int128 remainder = product & ((one << shift) - 1);
  const unsigned __int128 half = one << (shift - 1);
  uint64_t nanos = static_cast<uint64_t>(quotient);
  if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;
  return nanos;
}

}  // namespace

std::optional<Duration> duration_from_secs(double seconds) {
  if (!(seconds < kTwoPow64)) return std::nullopt;  // NaN and too large
  if (seconds < kTwoPowMinus31) return Duration{};
  const double whole = std::floor(seconds);
  uint64_t secs = static_cast<uint64_t>(whole);
  uint64_t nanos = round_fraction_to_nanos(seconds - whole);  // subtraction is exact
  if (nanos >= 1'000'000'000) {
    nanos -= 1'000'000'000;
    ++secs;  // cannot wrap: whole < 2^64 - 1 whenever it has a fraction
  }
  return Duration{secs, static_cast<uint32_t>(nanos)};
}

std::optional<Duration> stall_timeout_from_secs(std::optional<double> seconds) {
  if (!seconds) return std::nullopt;
  double value = *seconds;
  if (!(value > 0.0)) value = 0.0;  // negative, -0.0 and NaN
  if (value >= kTwoPow64) return Duration::max();
  return duration_from_secs(value);
}

}  // namespace vorlisk
