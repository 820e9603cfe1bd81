#include "core/filter/filter_settings.h"

#include <charconv>
#include <cmath>

#include "core/value/levels.h"

namespace vorlisk {
namespace {

constexpr uint32_t kUnknownLevel = 20;

}  // namespace

std::string plain_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The shortest round-trip digits come from the scientific form ("d.ddde+XX");
  // the fixed form of to_chars would print large integers exactly instead.
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
  const size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c >= '0' && c <= '9') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);

  std::string out = std::signbit(value) ? "-" : "";
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (static_cast<size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    out += digits.substr(0, static_cast<size_t>(point));
    out += '.';
    out += digits.substr(static_cast<size_t>(point));
  }
  return out;
}

std::variant<FilterSettings, std::string> validate_filter_settings(
    double sample_rate, std::optional<std::string_view> sample_max_level,
    std::optional<uint64_t> rate_limit_max, double rate_limit_period) {
  if (!(std::isfinite(sample_rate) && sample_rate >= 0.0 && sample_rate <= 1.0)) {
    return "sample_rate must be between 0.0 and 1.0, got " + plain_decimal(sample_rate);
  }
  if (rate_limit_max && *rate_limit_max == 0) return std::string("rate_limit_max must be >= 1, got 0");
  if (!(std::isfinite(rate_limit_period) && rate_limit_period > 0.0)) {
    return "rate_limit_period must be > 0, got " + plain_decimal(rate_limit_period);
  }
  const std::optional<Duration> period = duration_from_secs(rate_limit_period);
  if (!period) {
    return std::string(
        "rate_limit_period too large: cannot convert float seconds to Duration: value is either "
        "too big or NaN");
  }

  FilterSettings settings;
  if (sample_rate < 1.0) {
    SamplerStage sampler;
    sampler.rate = sample_rate;
    if (sample_max_level) {
      sampler.has_max_level = true;
      sampler.max_level = parse_level_name(*sample_max_level).value_or(kUnknownLevel);
    }
    settings.sampler = sampler;
  }
  if (rate_limit_max) settings.rate_limit = RateLimitSettings{*rate_limit_max, *period};
  return settings;
}

}  // namespace vorlisk
