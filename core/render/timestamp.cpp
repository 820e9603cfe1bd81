#include "core/render/timestamp.h"

#include <time.h>

#include <climits>
#include <cmath>

namespace vorlisk {
namespace {

constexpr size_t kSecondsFormLength = 19;  // "YYYY-MM-DDTHH:MM:SS"
constexpr uint32_t kMaxMicros = 999999;
constexpr int64_t kSecondsPerDay = 86400;

struct ClampedInstant {
  int64_t seconds;
  uint32_t micros;
};

ClampedInstant clamp_instant(int64_t seconds, uint32_t micros) {
  if (seconds < kFirstTimestampSecond) return {kFirstTimestampSecond, 0};
  if (seconds > kLastTimestampSecond) return {kLastTimestampSecond, kMaxMicros};
  return {seconds, micros > kMaxMicros ? kMaxMicros : micros};
}

int64_t floor_div(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

struct CivilDate {
  int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Days since 1970-01-01 to a proleptic Gregorian date, counting in 400-year
// eras that start on March 1st so that the leap day ends each cycle.
CivilDate civil_from_days(int64_t days) {
  days += 719468;  // 0000-03-01 to 1970-01-01
  const int64_t era = floor_div(days, 146097);
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);                  // [0, 146096]
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;  // [0, 399]
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;  // [0, 11], March first
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const int64_t year = static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

void put_digits(char* out, unsigned value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// `seconds` must already lie within the four-digit years.
void format_seconds_form(int64_t seconds, char (&out)[kSecondsFormLength]) {
  const int64_t days = floor_div(seconds, kSecondsPerDay);
  const auto second_of_day = static_cast<unsigned>(seconds - days * kSecondsPerDay);
  const CivilDate date = civil_from_days(days);
  put_digits(out, static_cast<unsigned>(date.year), 4);
  out[4] = '-';
  put_digits(out + 5, date.month, 2);
  out[7] = '-';
  put_digits(out + 8, date.day, 2);
  out[10] = 'T';
  put_digits(out + 11, second_of_day / 3600, 2);
  out[13] = ':';
  put_digits(out + 14, second_of_day / 60 % 60, 2);
  out[16] = ':';
  put_digits(out + 17, second_of_day % 60, 2);
}

TimestampText assemble(const char (&seconds_form)[kSecondsFormLength], uint32_t micros) {
  char text[kTimestampLength];
  for (size_t i = 0; i < kSecondsFormLength; ++i) text[i] = seconds_form[i];
  text[19] = '.';
  put_digits(text + 20, micros, 6);
  text[26] = 'Z';
  return TimestampText(text);
}

// Plain data only: constant-initialised, no destructor to register, so the
// thread_local costs no guard and a forked child inherits a usable copy.
struct TimestampCache {
  int64_t last_second = INT64_MIN;  // no clamped reading produces it
  char prefix[kSecondsFormLength] = {};
};
thread_local TimestampCache tls_timestamp_cache;

}  // namespace

TimestampText format_utc_timestamp(int64_t seconds, uint32_t micros) {
  const ClampedInstant instant = clamp_instant(seconds, micros);
  char seconds_form[kSecondsFormLength];
  format_seconds_form(instant.seconds, seconds_form);
  return assemble(seconds_form, instant.micros);
}

TimestampText current_timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);  // cannot fail for CLOCK_REALTIME
  // The kernel keeps tv_nsec in [0, 1e9) also before 1970, so tv_sec is
  // already the floor second.
  return timestamp_from_wall_clock(static_cast<int64_t>(now.tv_sec), now.tv_nsec);
}

TimestampText timestamp_from_wall_clock(int64_t seconds, int64_t nanoseconds) {
  const int64_t micros = nanoseconds < 0 ? 0 : nanoseconds / 1000;  // truncated, never rounded
  const ClampedInstant instant =
      clamp_instant(seconds, micros > kMaxMicros ? kMaxMicros : static_cast<uint32_t>(micros));
  TimestampCache& cache = tls_timestamp_cache;
  if (cache.last_second != instant.seconds) {
    format_seconds_form(instant.seconds, cache.prefix);
    cache.last_second = instant.seconds;
  }
  return assemble(cache.prefix, instant.micros);
}

std::optional<TimestampText> timestamp_from_created(double created) {
  constexpr double kFirst = -62135596800.0;  // 0001-01-01T00:00:00Z
  constexpr double kEnd = 253402300800.0;    // 10000-01-01T00:00:00Z, excluded
  if (!(created >= kFirst && created < kEnd)) return std::nullopt;
  const double whole = std::floor(created);
  auto seconds = static_cast<int64_t>(whole);
  // nearbyint rounds half to even in the default rounding mode, which the
  // interpreter never changes.
  auto micros = static_cast<int64_t>(std::nearbyint((created - whole) * 1'000'000.0));
  if (micros >= 1'000'000) {
    seconds += 1;
    micros = 0;
  }
  return format_utc_timestamp(seconds, static_cast<uint32_t>(micros));
}

}  // namespace vorlisk
