#include "core/render/timestamp.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>

namespace vorlisk {
namespace {

struct TimestampCase {
  int64_t seconds;
  uint32_t micros;
  const char* text;
};

class FormatUtcTimestamp : public ::testing::TestWithParam<TimestampCase> {};

TEST_P(FormatUtcTimestamp, Text) {
  EXPECT_EQ(format_utc_timestamp(GetParam().seconds, GetParam().micros).view(), GetParam().text);
}

// Leap days of 400-year and 4-year cycles, century non-leap years, year and
// day carries, both ends of the four-digit years; then clamping outside them.
INSTANTIATE_TEST_SUITE_P(
    Calendar, FormatUtcTimestamp,
    ::testing::Values(TimestampCase{0, 0, "1970-01-01T00:00:00.000000Z"},
                      TimestampCase{-1, 0, "1969-12-31T23:59:59.000000Z"},
                      TimestampCase{951782400, 5, "2000-02-29T00:00:00.000005Z"},
                      TimestampCase{946684799, 999999, "1999-12-31T23:59:59.999999Z"},
                      TimestampCase{946684800, 0, "2000-01-01T00:00:00.000000Z"},
                      TimestampCase{-2203891201, 0, "1900-02-28T23:59:59.000000Z"},
                      TimestampCase{-2203891200, 0, "1900-03-01T00:00:00.000000Z"},
                      TimestampCase{4107542400, 0, "2100-03-01T00:00:00.000000Z"},
                      TimestampCase{-62035891200, 0, "0004-02-29T00:00:00.000000Z"},
                      TimestampCase{-62135596800, 0, "0001-01-01T00:00:00.000000Z"},
                      TimestampCase{253402300799, 999999, "9999-12-31T23:59:59.999999Z"},
                      TimestampCase{-62135596801, 999999, "0001-01-01T00:00:00.000000Z"},
                      TimestampCase{INT64_MIN, 0, "0001-01-01T00:00:00.000000Z"},
                      TimestampCase{253402300800, 0, "9999-12-31T23:59:59.999999Z"},
                      TimestampCase{INT64_MAX, 0, "9999-12-31T23:59:59.999999Z"},
                      TimestampCase{0, UINT32_MAX, "1970-01-01T00:00:00.999999Z"}));

TEST(WallClockTimestamp, TruncatesAndClamps) {
  EXPECT_EQ(timestamp_from_wall_clock(0, 999999999).view(), "1970-01-01T00:00:00.999999Z");
  EXPECT_EQ(timestamp_from_wall_clock(-1, 500000000).view(), "1969-12-31T23:59:59.500000Z");
  EXPECT_EQ(timestamp_from_wall_clock(INT64_MAX, 999999999).view(), "9999-12-31T23:59:59.999999Z");
}

TEST(WallClockTimestamp, CachedPrefixFollowsTheSecondBothWays) {
  EXPECT_EQ(timestamp_from_wall_clock(951782400, 1000).view(), "2000-02-29T00:00:00.000001Z");
  EXPECT_EQ(timestamp_from_wall_clock(951782400, 2000).view(), "2000-02-29T00:00:00.000002Z");
  EXPECT_EQ(timestamp_from_wall_clock(951782401, 0).view(), "2000-02-29T00:00:01.000000Z");
  EXPECT_EQ(timestamp_from_wall_clock(951782400, 0).view(), "2000-02-29T00:00:00.000000Z");  // set back
  std::string other;
  std::thread([&] { other = timestamp_from_wall_clock(86400, 0).view(); }).join();
  EXPECT_EQ(other, "1970-01-02T00:00:00.000000Z");
  EXPECT_EQ(timestamp_from_wall_clock(951782400, 7).view(), "2000-02-29T00:00:00.000000Z");
}

TEST(CurrentTimestamp, HasTheFixedShape) {
  const std::string t(current_timestamp().view());
  ASSERT_EQ(t.size(), kTimestampLength) << t;
  EXPECT_EQ(t.substr(0, 2), "20");
  EXPECT_EQ(t[10], 'T');
  EXPECT_EQ(t[19], '.');
  EXPECT_EQ(t[26], 'Z');
  EXPECT_LE(t, current_timestamp().view());
}

}  // namespace
}  // namespace vorlisk
