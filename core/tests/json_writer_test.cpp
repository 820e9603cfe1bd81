#include "core/render/json_writer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "core/render/json_check.h"

namespace vorlisk {
namespace {

std::string json_of(const Value& value) {
  JsonResult result = value_to_json(value);
  if (auto* error = std::get_if<JsonError>(&result)) return "error: " + error->display();
  return std::get<std::string>(result);
}

FieldMap fields(std::initializer_list<std::pair<const char*, Value>> items) {
  FieldMap map;
  for (const auto& [key, value] : items) map.append(key, value);
  return map;
}

struct FloatCase {
  double value;
  const char* text;
};

class FloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, ShortestRoundTripDigits) {
  EXPECT_EQ(json_of(Value::floating(GetParam().value)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatText,
    ::testing::Values(
        FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{1.0, "1.0"}, FloatCase{3.0, "3.0"},
        FloatCase{0.1, "0.1"}, FloatCase{100.0, "100.0"}, FloatCase{-2.5, "-2.5"},
        FloatCase{12.34, "12.34"}, FloatCase{0.1 + 0.2, "0.30000000000000004"},
        FloatCase{0.00123, "0.00123"}, FloatCase{1e-5, "0.00001"}, FloatCase{0.000001, "1e-6"},
        FloatCase{1.5e-7, "1.5e-7"}, FloatCase{1e15, "1000000000000000.0"},
        FloatCase{1234567890123456.7, "1234567890123456.8"},
        FloatCase{9007199254740993.0, "9007199254740992.0"}, FloatCase{1e16, "1e+16"},
        FloatCase{1e21, "1e+21"}, FloatCase{123456789012345680000.0, "1.2345678901234568e+20"},
        FloatCase{1.23e-18, "1.23e-18"}, FloatCase{-1e100, "-1e+100"},
        FloatCase{DBL_MAX, "1.7976931348623157e+308"},
        FloatCase{std::numeric_limits<double>::denorm_min(), "5e-324"},
        FloatCase{DBL_MIN, "2.2250738585072014e-308"},
        FloatCase{std::numeric_limits<double>::quiet_NaN(), "null"},
        FloatCase{std::numeric_limits<double>::infinity(), "null"},
        FloatCase{-std::numeric_limits<double>::infinity(), "null"}));

TEST(JsonWriter, Scalars) {
  EXPECT_EQ(json_of(Value::null()), "null");
  EXPECT_EQ(json_of(Value::boolean(true)), "true");
  EXPECT_EQ(json_of(Value::boolean(false)), "false");
  EXPECT_EQ(json_of(Value::integer(0)), "0");
  EXPECT_EQ(json_of(Value::integer(INT64_MIN)), "-9223372036854775808");
  EXPECT_EQ(json_of(Value::integer(INT64_MAX)), "9223372036854775807");
}

struct EscapeCase {
  std::string text;
  std::string json;
};

class StringEscapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(StringEscapes, ValueAndKeyAlike) {
  const EscapeCase& c = GetParam();
  EXPECT_EQ(json_of(Value::str(c.text)), c.json);
  FieldMap keyed;
  keyed.append(c.text, Value::null());
  EXPECT_EQ(json_of(Value::map(std::move(keyed))), "{" + c.json + ":null}");
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringEscapes,
    ::testing::Values(EscapeCase{"", R"("")"}, EscapeCase{"plain text", R"("plain text")"},
                      EscapeCase{"\"\\\t\x01\xC3\xA9", R"("\"\\\t\u0001)" "\xC3\xA9\""},
                      EscapeCase{"\b\f\n\r", R"("\b\f\n\r")"},
                      EscapeCase{"\x1b[31m", R"("\u001b[31m")"},
                      EscapeCase{"\x7f/\xE2\x80\xAE", "\"\x7f/\xE2\x80\xAE\""},
                      EscapeCase{std::string("a\0b", 3), R"("a\u0000b")"},
                      EscapeCase{"\x1f\x0b", R"("\u001f\u000b")"},
                      EscapeCase{"ends with quote\"", R"("ends with quote\"")"}));

TEST(JsonWriter, ContainersKeepStoredOrder) {
  Value::List inner{Value::integer(1), Value::str("x"), Value::list({}), Value::map({})};
  const Value root = Value::map(fields({{"b", Value::list(inner)}, {"a", Value::null()}}));
  EXPECT_EQ(json_of(root), R"({"b":[1,"x",[],{}],"a":null})");
  EXPECT_EQ(json_of(Value::list({})), "[]");
  EXPECT_EQ(json_of(Value::map({})), "{}");
}

struct BigIntCase {
  std::string text;
  std::string json;  // the bare number, or the error's display text
};

class BigIntCheck : public ::testing::TestWithParam<BigIntCase> {};

TEST_P(BigIntCheck, WrittenBareOrRejected) {
  const BigIntCase& c = GetParam();
  EXPECT_EQ(json_of(Value::big_int(c.text)), c.json) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, BigIntCheck,
    ::testing::Values(BigIntCase{"-123456789012345678901234567890", "-123456789012345678901234567890"},
                      BigIntCase{" 123 ", "123"}, BigIntCase{"\t\r\n7\n", "7"},
                      BigIntCase{"-0.5e-3", "-0.5e-3"}, BigIntCase{"1E+2", "1E+2"},
                      BigIntCase{R"([1,{"a":[true,null]},"\u00e9"])", R"([1,{"a":[true,null]},"\u00e9"])"},
                      BigIntCase{"[ ]", "[ ]"}, BigIntCase{"{}", "{}"}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, BigIntCheck,
    ::testing::Values(
        BigIntCase{"", "error: EOF while parsing a value at line 1 column 0"},
        BigIntCase{"   ", "error: EOF while parsing a value at line 1 column 3"},
        BigIntCase{"1 2", "error: trailing characters at line 1 column 3"},
        BigIntCase{"12abc", "error: trailing characters at line 1 column 3"},
        BigIntCase{"\n\n 1x", "error: trailing characters at line 3 column 3"},
        BigIntCase{"abc", "error: expected value at line 1 column 1"},
        BigIntCase{"+1", "error: expected value at line 1 column 1"},
        BigIntCase{"-", "error: invalid number at line 1 column 1"},
        BigIntCase{"-x", "error: invalid number at line 1 column 2"},
        BigIntCase{"01", "error: invalid number at line 1 column 2"},
        BigIntCase{"1.", "error: invalid number at line 1 column 2"},
        BigIntCase{"1.e5", "error: invalid number at line 1 column 3"},
        BigIntCase{"1e", "error: invalid number at line 1 column 2"},
        BigIntCase{"1e+x", "error: invalid number at line 1 column 4"},
        BigIntCase{"tru", "error: EOF while parsing a value at line 1 column 3"},
        BigIntCase{"trux", "error: expected ident at line 1 column 4"},
        BigIntCase{"[", "error: EOF while parsing a list at line 1 column 1"},
        BigIntCase{"[1", "error: EOF while parsing a list at line 1 column 2"},
        BigIntCase{"[1,]", "error: expected value at line 1 column 4"},
        BigIntCase{"[1 2]", "error: expected `,` or `]` at line 1 column 4"},
        BigIntCase{"[1}", "error: expected `,` or `]` at line 1 column 3"},
        BigIntCase{R"({"a" 1})", "error: expected `:` at line 1 column 6"},
        BigIntCase{"{1:2}", "error: key must be a string at line 1 column 2"},
        BigIntCase{R"({"a":1)", "error: EOF while parsing an object at line 1 column 6"},
        BigIntCase{R"({"a":1 "b")", "error: expected `,` or `}` at line 1 column 8"},
        BigIntCase{R"("abc)", "error: EOF while parsing a string at line 1 column 4"},
        BigIntCase{"\"a\x01\"",
                   "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                   "column 2"},
        BigIntCase{R"("\x")", "error: invalid escape at line 1 column 3"},
        BigIntCase{R"("\u12g4")", "error: invalid escape at line 1 column 7"},
        BigIntCase{R"("\u12)", "error: EOF while parsing a string at line 1 column 5"},
        BigIntCase{"\"\xC3\"", "error: invalid unicode code point at line 1 column 1"},
        BigIntCase{"\"\xED\xA0\x80\"", "error: invalid unicode code point at line 1 column 1"}));

TEST(JsonWriter, BadBigIntDeepInsideFailsTheWholeValue) {
  FieldMap inner = fields({{"n", Value::list({Value::integer(1), Value::big_int("1 2")})}});
  const Value root = Value::map(fields({{"ok", Value::str("x")}, {"deep", Value::map(inner)}}));
  const JsonResult result = value_to_json(root);
  ASSERT_TRUE(std::holds_alternative<JsonError>(result));
  EXPECT_EQ(std::get<JsonError>(result), (JsonError{"trailing characters", 1, 3}));
}

TEST(JsonCheck, DeepNestingNeedsNoStack) {
  const std::string text = std::string(200000, '[') + std::string(200000, ']');
  const auto checked = check_single_json_value(text);
  ASSERT_TRUE(std::holds_alternative<std::string_view>(checked));
  EXPECT_EQ(std::get<std::string_view>(checked).size(), text.size());
}

TEST(JsonError, DisplayWithoutLineIsTheDescription) {
  EXPECT_EQ((JsonError{"x", 0, 0}).display(), "x");
  EXPECT_EQ((JsonError{"x", 2, 10}).display(), "x at line 2 column 10");
}

}  // namespace
}  // namespace vorlisk
