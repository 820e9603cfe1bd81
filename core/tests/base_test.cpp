#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "core/base/duration.h"
#include "core/base/monotonic.h"
#include "core/base/native_thread.h"
#include "core/base/os_error.h"
#include "core/base/siphash.h"
#include "core/base/thread_stack.h"
#include "core/base/utf8.h"

namespace vorlisk {
namespace {

struct StallCase {
  double seconds;
  Duration expected;
};

class StallTimeout : public ::testing::TestWithParam<StallCase> {};

TEST_P(StallTimeout, RoundsExactly) {
  const auto got = stall_timeout_from_secs(GetParam().seconds);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->secs, GetParam().expected.secs) << GetParam().seconds;
  EXPECT_EQ(got->nanos, GetParam().expected.nanos) << GetParam().seconds;
}

INSTANTIATE_TEST_SUITE_P(
    Table, StallTimeout,
    ::testing::Values(StallCase{0.0, {0, 0}}, StallCase{-0.0, {0, 0}}, StallCase{-1.0, {0, 0}},
                      StallCase{std::nan(""), {0, 0}}, StallCase{4.656612873077393e-10, {0, 0}},
                      StallCase{5e-10, {0, 1}}, StallCase{0.0009765625, {0, 976562}},
                      StallCase{0.0029296875, {0, 2929688}}, StallCase{1.9999999999, {2, 0}},
                      StallCase{0.1, {0, 100000000}}, StallCase{60.0, {60, 0}},
                      StallCase{18446744073709549568.0, {18446744073709549568ULL, 0}},
                      StallCase{18446744073709551616.0, Duration::max()},
                      StallCase{1e20, Duration::max()},
                      StallCase{std::numeric_limits<double>::infinity(), Duration::max()}));

TEST(StallTimeout, NoneMeansNoLimit) { EXPECT_FALSE(stall_timeout_from_secs(std::nullopt)); }

TEST(DurationFromSecs, RefusesWhatDoesNotFit) {
  EXPECT_FALSE(duration_from_secs(1e20));
  EXPECT_FALSE(duration_from_secs(std::nan("")));
  EXPECT_EQ(duration_from_secs(5e-324), (Duration{0, 0}));
  EXPECT_EQ(duration_from_secs(2.5), (Duration{2, 500000000}));
}

TEST(MonotonicInstant, CheckedArithmeticNeverWraps) {
  const MonotonicInstant start{100, 900'000'000};
  EXPECT_EQ(start.checked_add({1, 200'000'000}), (MonotonicInstant{102, 100'000'000}));
  EXPECT_FALSE(start.checked_add(Duration::max()));
  EXPECT_EQ(start.checked_sub({0, 950'000'000}), (MonotonicInstant{99, 950'000'000}));
  EXPECT_FALSE(start.checked_sub(Duration::max()));
  EXPECT_TRUE(start.checked_sub({uint64_t{1} << 62, 0}));
  EXPECT_FALSE(deadline_after(std::nullopt));
}

TEST(SipHash13, MatchesPythonsStringHashWithZeroKey) {
  // hash(b"...") under PYTHONHASHSEED=0 is SipHash-1-3 with the zero key.
  EXPECT_EQ(siphash13({}, "abc", 3), 0xc03bc3a0042630f2ULL);
  EXPECT_EQ(siphash13({}, "hello world!", 12), 0x0ba7c0aefd09fad0ULL);
}

TEST(OsErrorText, HasDescriptionAndNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
}

TEST(NativeThread, RunsJoinsAndReportsFinished) {
  std::atomic<int> ran{0};
  auto spawned = spawn_native_thread([&] { ran = 1; throw 42; }, 2 << 20, "vorlisk-test-thread-name");
  ASSERT_TRUE(std::holds_alternative<NativeThread>(spawned));
  NativeThread thread = std::move(std::get<NativeThread>(spawned));
  thread.join();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_TRUE(thread.finished());
}

}  // namespace
}  // namespace vorlisk

namespace vorlisk {
namespace {

// The floor is the lowest usable address: the running frame lies above it,
// within the stack the thread was given.
TEST(ThreadStack, FloorLiesBelowTheFrameWithinTheStackSize) {
  constexpr size_t kStackSize = 512 * 1024;
  uintptr_t floor = 0;
  uintptr_t frame = 0;
  auto spawned = spawn_native_thread(
      [&] {
        floor = read_thread_stack_floor();
        frame = VORLISK_FRAME_ADDRESS();
      },
      kStackSize, "stack-probe");
  ASSERT_TRUE(std::holds_alternative<NativeThread>(spawned));
  std::get<NativeThread>(spawned).join();
  ASSERT_NE(floor, 0u);
  EXPECT_GT(frame, floor);
  // glibc may hand the thread a cached stack of up to four times the size.
  EXPECT_LT(frame - floor, 4 * kStackSize);
  EXPECT_FALSE(stack_short(floor, frame, 1024));
  EXPECT_TRUE(stack_short(floor, frame, frame - floor + 1));
  // A frame on another stack, below or above, is never short; nor is any
  // frame when the floor is unknown.
  EXPECT_FALSE(stack_short(floor, floor - 16, 1024));
  EXPECT_FALSE(stack_short(floor, floor + (64 << 20), 1024));
  EXPECT_FALSE(stack_short(0, 100, 1024));
  // The main thread's floor comes from the process's stack limit.
  const uintptr_t main_floor = read_thread_stack_floor();
  ASSERT_NE(main_floor, 0u);
  EXPECT_GT(VORLISK_FRAME_ADDRESS(), main_floor);
}

TEST(Utf8, LossyDecodersJoinPairsAndReplaceStrays) {
  // UTF-16LE: 'a', D83D DE00 (a pair), DC00 (stray low), D800 at the end.
  const std::string utf16("a\0\x3d\xd8\x00\xde\x00\xdc\x00\xd8", 10);
  EXPECT_EQ(utf16le_to_utf8_lossy(utf16), "a\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf16le_to_utf8_lossy(std::string("a\0b", 3)), "a");  // odd byte ignored
  // The same through "surrogatepass" UTF-8: the pair joins, a stray is ill-formed.
  EXPECT_EQ(surrogate_utf8_to_utf8_lossy("\xED\xA0\xBD\xED\xB8\x80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(surrogate_utf8_to_utf8_lossy("x\xED\xB0\x80y"), "x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDy");
  EXPECT_EQ(surrogate_utf8_to_utf8_lossy("\xC3\xA9\xFF"), "\xC3\xA9\xEF\xBF\xBD");
}

TEST(Utf8, Validation) {
  EXPECT_TRUE(is_valid_utf8("h\xC3\xA9llo \xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // an encoded surrogate
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));      // cut short
  std::string out;
  append_utf8(out, 0x1F600);
  size_t pos = 0;
  EXPECT_EQ(decode_utf8_at(out, pos), char32_t{0x1F600});
  EXPECT_EQ(pos, 4u);
}

}  // namespace
}  // namespace vorlisk
