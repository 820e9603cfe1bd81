// Validation of the filter's constructor arguments, in the order the user
// sees the errors, and the stages they describe.
//
// Every message quotes the offending value; floats are written in plain
// decimal from their shortest round-trip digits ("2", "1.5", "-0", "NaN",
// "inf"), never through printf, so the C locale cannot change them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/base/duration.h"
#include "core/filter/sampler.h"

namespace vorlisk {

struct RateLimitSettings {
  uint64_t max_per_window = 1;  // >= 1
  Duration period;
};

// The stages a valid set of arguments builds: a sampler when the rate is
// below 1, a rate limiter when a maximum is given.
struct FilterSettings {
  std::optional<SamplerStage> sampler;
  std::optional<RateLimitSettings> rate_limit;
};

// Checks, in order: the sample rate (finite, 0..1), the maximum (not 0), the
// period (finite, > 0) and the period's duration (below 2^64 s). Returns the
// settings or the ValueError text of the first failing check. The level name
// is parsed only when a sampler is built; an unknown name means 20.
std::variant<FilterSettings, std::string> validate_filter_settings(
    double sample_rate, std::optional<std::string_view> sample_max_level,
    std::optional<uint64_t> rate_limit_max, double rate_limit_period);

// `value` in plain decimal notation: shortest round-trip digits, no exponent,
// no ".0" on whole numbers; "NaN", "inf" and "-inf" for the special values.
std::string plain_decimal(double value);

}  // namespace vorlisk
