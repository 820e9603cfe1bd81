// UTC timestamps as every rendered line carries them:
// "YYYY-MM-DDTHH:MM:SS.ffffffZ" (27 characters), proleptic Gregorian
// calendar, no leap seconds, always "Z".
//
// The date arithmetic is our own (no gmtime, no TZ, no locale), so it is the
// same on every thread and after any change of the process environment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vorlisk {

inline constexpr size_t kTimestampLength = 27;

// One timestamp's text, held inline: making one never allocates.
class TimestampText {
 public:
  explicit TimestampText(const char (&text)[kTimestampLength]) {
    for (size_t i = 0; i < kTimestampLength; ++i) text_[i] = text[i];
  }
  std::string_view view() const { return {text_, kTimestampLength}; }

 private:
  char text_[kTimestampLength];
};

// Whole Unix seconds of the first and last instants that have a four-digit
// year: 0001-01-01T00:00:00 and 9999-12-31T23:59:59.
inline constexpr int64_t kFirstTimestampSecond = -62135596800;
inline constexpr int64_t kLastTimestampSecond = 253402300799;

// `seconds` whole Unix seconds plus `micros` (0..999999) as timestamp text.
// An instant outside the years 1..9999 is clamped to the nearest end
// (0001-01-01T00:00:00.000000Z or 9999-12-31T23:59:59.999999Z), and micros
// above 999999 count as 999999, so the text is always 27 characters.
TimestampText format_utc_timestamp(int64_t seconds, uint32_t micros);

// A record's creation time (Unix seconds, as a float) as timestamp text,
// when -62135596800.0 <= created < 253402300800.0 (years 1 to 9999; NaN and
// the infinities are outside): whole seconds by floor, microseconds rounded
// to the nearest (ties to even) and carried into the seconds at 1,000,000.
// Nothing for a time outside that range.
std::optional<TimestampText> timestamp_from_created(double created);

// The wall clock (CLOCK_REALTIME) now, microseconds truncated so the text
// never runs ahead into the next second. The date and time of day are
// formatted only when the whole second differs from the one this thread
// formatted last; the per-thread cache is plain data, so it needs no
// destructor and stays valid in a child after fork().
TimestampText current_timestamp();

// What current_timestamp() makes of one wall-clock reading (`nanoseconds`
// into the second `seconds`), through the calling thread's cache.
TimestampText timestamp_from_wall_clock(int64_t seconds, int64_t nanoseconds);

}  // namespace vorlisk
