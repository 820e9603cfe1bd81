#include "core/render/redaction.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

// Counts this thread's operator new calls, to show that the paths that
// find nothing to redact do not allocate. Sanitizer builds keep their own
// allocator and skip those tests.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCountsAllocations = false;
thread_local long allocations = 0;
#else
constexpr bool kCountsAllocations = true;
thread_local long allocations = 0;
#endif

}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Both sides of the pair are replaced, so malloc/free is the matching pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  ++allocations;
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
#endif

namespace vorlisk {
namespace {

std::vector<CompiledPattern> compile_all(const std::vector<std::pair<const char*, bool>>& specs) {
  std::vector<CompiledPattern> patterns;
  for (const auto& [text, backtracking] : specs) {
    PatternResult result = compile_pattern(text, backtracking);
    EXPECT_TRUE(std::holds_alternative<CompiledPattern>(result)) << text;
    patterns.push_back(std::move(std::get<CompiledPattern>(result)));
  }
  return patterns;
}

Value map_of(std::vector<std::pair<std::string, Value>> items) {
  FieldMap map;
  for (auto& [key, value] : items) map.append(key, std::move(value));
  return Value::map(std::move(map));
}

// ---- record texts ------------------------------------------------------------

TEST(RedactTextField, SensitiveRecordKeyIsNotPassedThroughThePatterns) {
  const auto patterns = compile_all({{"RED", false}});
  const SensitiveKeys keys(std::vector<std::string>{"message"});
  RedactionSettings settings{&keys, patterns, "x"};
  EXPECT_EQ(redact_text_field("message", "RED alert", settings), "[REDACTED]");
  EXPECT_EQ(redact_text_field("logger", "RED alert", settings), "x alert");

  RedactionSettings defaults{nullptr, patterns, "x"};
  EXPECT_EQ(redact_text_field("message", "RED alert", defaults), "x alert");
  EXPECT_EQ(redact_text_field("message", "quiet", RedactionSettings{}), "quiet");
}

TEST(RedactTextField, PatternsRunInOrderOnEachOthersOutput) {
  const auto patterns = compile_all({{"card=\\d+", false}, {"\\[REDACTED\\]", false}});
  RedactionSettings settings{nullptr, patterns, "[REDACTED]"};
  EXPECT_EQ(redact_text_field("message", "card=4111 ok", settings), "[REDACTED] ok");

  const auto chained = compile_all({{"a", false}, {"b", false}});
  EXPECT_EQ(redact_text_field("message", "ab", RedactionSettings{nullptr, chained, "b"}), "bb");
}

TEST(RedactTextField, FailedSearchGivesRedactedThenLaterPatternsRun) {
  const auto patterns = compile_all({{"(?=a)(a+)+$", true}, {"RED", false}});
  RedactionSettings settings{nullptr, patterns, "***"};
  EXPECT_EQ(redact_text_field("message", std::string(40, 'a') + "b", settings), "[***ACTED]");
}

// ---- prefilter -----------------------------------------------------------------

struct PrefilterCase {
  const char* name;
  std::vector<std::pair<const char*, bool>> patterns;  // text, backtracking
  const char* replacement;
  std::string text;
  std::string expected;
};

class Prefiltered : public ::testing::TestWithParam<PrefilterCase> {};

// The prefilter only skips searches that find nothing: every text comes out
// as it does without one.
TEST_P(Prefiltered, SameTextAsWithoutPrefilter) {
  const PrefilterCase& c = GetParam();
  const auto patterns = compile_all(c.patterns);
  const std::optional<PatternPrefilter> prefilter = PatternPrefilter::build(patterns);
  ASSERT_TRUE(prefilter.has_value());
  for (const PatternPrefilter* used : {static_cast<const PatternPrefilter*>(nullptr), &*prefilter}) {
    const RedactionSettings settings{nullptr, patterns, c.replacement, used};
    EXPECT_EQ(redact_text_field("message", c.text, settings), c.expected) << (used ? "with" : "without");
    Value tree = map_of({{c.text, Value::list({Value::str(c.text)})}});
    redact_value_patterns(tree, patterns, c.replacement, used);
    EXPECT_EQ(tree.as_map().entries()[0].key, c.expected);
    EXPECT_EQ(tree.as_map().entries()[0].value.as_list()[0].as_str(), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Prefiltered,
    ::testing::Values(
        PrefilterCase{"NoneMatches", {{"\\d{3}", false}, {"x", false}}, "#", "ab 12", "ab 12"},
        PrefilterCase{"OneMatches", {{"\\d{3}", false}, {"x", false}}, "#", "x 123", "# #"},
        PrefilterCase{"LaterPatternSeesEarlierOutput", {{"a", false}, {"b", false}}, "b", "ab", "bb"},
        // The backtracking pattern changes a text the linear ones cleared;
        // the linear one after it must then search the new text.
        PrefilterCase{"LinearAfterBacktrackingChange",
                      {{"\\d{3}", false}, {"(?<=a)d", true}, {"lev", false}}, "level", "ad", "alevelel"},
        PrefilterCase{"LinearBeforeBacktrackingStaysSkipped",
                      {{"lev", false}, {"(?<=a)d", true}}, "level", "ad", "alevel"},
        PrefilterCase{"FailedSearchThenLinear", {{"(?=a)(a+)+$", true}, {"RED", false}}, "***",
                      std::string(40, 'a') + "b", "[***ACTED]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Prefilter, NeedsALinearPattern) {
  EXPECT_FALSE(PatternPrefilter::build(compile_all({{"(?<=a)b", true}})).has_value());
  EXPECT_FALSE(PatternPrefilter::build({}).has_value());
  EXPECT_TRUE(PatternPrefilter::build(compile_all({{"a", false}}))->covers_all());
  EXPECT_FALSE(PatternPrefilter::build(compile_all({{"a", false}, {"(?<=a)b", true}}))->covers_all());
}

// ---- value trees -------------------------------------------------------------

TEST(RedactValuePatterns, NumbersBecomeStringsOnlyWhenChanged) {
  const auto card = compile_all({{"\\d{16}", false}});
  Value card_number = Value::integer(1234567890123456);
  Value small = Value::integer(42);
  redact_value_patterns(card_number, card, kRedacted);
  redact_value_patterns(small, card, kRedacted);
  ASSERT_EQ(card_number.kind(), Value::Kind::Str);
  EXPECT_EQ(card_number.as_str(), "[REDACTED]");
  ASSERT_EQ(small.kind(), Value::Kind::Int);
  EXPECT_EQ(small.as_int(), 42);

  const auto minus_nine = compile_all({{"^-9", false}});
  Value lowest = Value::integer(std::numeric_limits<int64_t>::min());
  redact_value_patterns(lowest, minus_nine, "#");
  EXPECT_EQ(lowest.as_str(), "#223372036854775808");
}

struct BigIntCase {
  const char* digits;
  const char* redacted;  // nullptr: stays a BigInt with its text
};

class BigIntText : public ::testing::TestWithParam<BigIntCase> {};

TEST_P(BigIntText, OnlyIntegerShapedTextsAreSearched) {
  const auto digits = compile_all({{"\\d+|-|a", false}});
  Value value = Value::big_int(GetParam().digits);
  redact_value_patterns(value, digits, "#");
  if (GetParam().redacted == nullptr) {
    ASSERT_EQ(value.kind(), Value::Kind::BigInt);
    EXPECT_EQ(value.as_big_int(), GetParam().digits);
  } else {
    ASSERT_EQ(value.kind(), Value::Kind::Str);
    EXPECT_EQ(value.as_str(), GetParam().redacted);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, BigIntText,
                         ::testing::Values(BigIntCase{"-123456789012345678901234567890", "##"},
                                           BigIntCase{"123456789012345678901234567890", "#"},
                                           BigIntCase{"", nullptr}, BigIntCase{"-", nullptr},
                                           BigIntCase{"--1", nullptr}, BigIntCase{"12a", nullptr},
                                           BigIntCase{"1 ", nullptr}));

TEST(RedactValuePatterns, FloatsBooleansAndNullsAreNeverChanged) {
  const auto patterns = compile_all({{"3|true|null|.", false}});
  Value value = Value::list({Value::floating(3.5), Value::boolean(true), Value::null()});
  redact_value_patterns(value, patterns, "#");
  const Value::List& items = value.as_list();
  EXPECT_EQ(items[0].as_float(), 3.5);
  EXPECT_TRUE(items[1].as_bool());
  EXPECT_TRUE(items[2].is_null());
}

std::vector<std::pair<std::string, int64_t>> int_entries(const Value& map) {
  std::vector<std::pair<std::string, int64_t>> out;
  for (const FieldEntry& entry : map.as_map().entries()) {
    const Value& v = entry.value;
    out.emplace_back(entry.key, v.kind() == Value::Kind::Int     ? v.as_int()
                                : v.kind() == Value::Kind::Float ? static_cast<int64_t>(v.as_float())
                                                                 : -1);
  }
  return out;
}

using Entries = std::vector<std::pair<std::string, int64_t>>;

TEST(RedactValuePatterns, CollidingKeysKeepFirstPositionAndLastValue) {
  const auto token = compile_all({{"token_", false}});
  Value map = map_of({{"token_id", Value::integer(1)}, {"id", Value::integer(2)}});
  redact_value_patterns(map, token, "");
  EXPECT_EQ(int_entries(map), (Entries{{"id", 2}}));

  // Both keys change into one; an unchanged key between them stays put.
  // (Float values, which the digit pattern leaves alone.)
  const auto digit = compile_all({{"\\d", false}});
  Value three = map_of({{"a1", Value::floating(1)}, {"b", Value::floating(2)}, {"a2", Value::floating(3)}});
  redact_value_patterns(three, digit, "");
  EXPECT_EQ(int_entries(three), (Entries{{"a", 3}, {"b", 2}}));

  // Larger maps take the hashed path.
  std::vector<std::pair<std::string, Value>> many;
  for (int i = 0; i < 40; ++i) many.emplace_back("k" + std::to_string(i % 20), Value::floating(i));
  FieldMap wide;
  for (auto& [key, value] : many) wide.append(key, std::move(value));  // duplicates on purpose
  Value big = Value::map(std::move(wide));
  redact_value_patterns(big, compile_all({{"\\d+", false}}), "");
  EXPECT_EQ(int_entries(big), (Entries{{"k", 39}}));
}

TEST(RedactValuePatterns, UnchangedMapKeepsEntriesAndOrder) {
  const auto patterns = compile_all({{"zzz", false}});
  Value map = map_of({{"b", Value::integer(1)}, {"a", Value::integer(2)}, {"c", Value::integer(3)}});
  redact_value_patterns(map, patterns, "#");
  EXPECT_EQ(int_entries(map), (Entries{{"b", 1}, {"a", 2}, {"c", 3}}));
}

TEST(RedactValuePatterns, PatternsSeeTheValuesOfSensitiveKeys) {
  Value root = map_of({{"password", Value::str("hunter2")},
                       {"note", Value::list({map_of({{"RED", Value::str("RED")}})})}});
  redact_sensitive_keys(root);
  redact_value_patterns(root, compile_all({{"RED", false}}), "x");
  const FieldMap& top = root.as_map();
  EXPECT_EQ(top.find("password")->as_str(), "[xACTED]");
  const FieldMap& inner = top.find("note")->as_list()[0].as_map();
  EXPECT_EQ(inner.entries()[0].key, "x");
  EXPECT_EQ(inner.entries()[0].value.as_str(), "x");
}

// ---- nothing to redact, nothing allocated ------------------------------------

TEST(NoAllocation, AsciiKeysAgainstAsciiCandidates) {
  if (!kCountsAllocations) GTEST_SKIP() << "sanitizer allocator";
  const SensitiveKeys keys(std::vector<std::string>{"user", "Client_Secret", "\u00C9T\u00C9"});
  const long before = allocations;
  EXPECT_TRUE(is_default_sensitive_key("Authorization"));
  EXPECT_FALSE(is_default_sensitive_key("request_id"));
  EXPECT_TRUE(is_sensitive_key_in("client_secret", keys));
  EXPECT_EQ(allocations - before, 0);
}

TEST(NoAllocation, UnmatchedTextsAndTrees) {
  if (!kCountsAllocations) GTEST_SKIP() << "sanitizer allocator";
  const auto patterns = compile_all({{"\\d{16}", false}, {"(?<=user=)\\w+", true}});
  Value tree = map_of({{"a", Value::str("nothing here")},
                       {"b", Value::list({Value::integer(42), Value::big_int("1" + std::string(30, '0'))})},
                       {"c", map_of({{"key", Value::floating(1.5)}})}});
  const std::optional<PatternPrefilter> prefilter = PatternPrefilter::build(patterns);
  redact_value_patterns(tree, patterns, "#");  // engines warm their caches
  redact_value_patterns(tree, patterns, "#", &*prefilter);
  const long before = allocations;
  redact_value_patterns(tree, patterns, "#");
  redact_value_patterns(tree, patterns, "#", &*prefilter);
  EXPECT_EQ(redact_with_pattern(patterns[0], "no card", "#"), std::nullopt);
  EXPECT_EQ(allocations - before, 0);
}

}  // namespace
}  // namespace vorlisk
