#include "core/render/json_writer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/render/json_check.h"

namespace vorlisk {
namespace {

std::string json_of(const Value& value) {
  JsonResult result = value_to_json(value);
  if (auto* error = std::get_if<JsonError>(&result)) return "error: " + error->display();
  return std::get<std::string>(result);
}

struct TextCase {
  Value value;
  std::string json;
};

class JsonText : public ::testing::TestWithParam<TextCase> {};

TEST_P(JsonText, Written) { EXPECT_EQ(json_of(GetParam().value), GetParam().json); }

TextCase f(double d, const char* json) { return {Value::floating(d), json}; }

INSTANTIATE_TEST_SUITE_P(
    Floats, JsonText,
    ::testing::Values(f(0.0, "0.0"), f(-0.0, "-0.0"), f(1.0, "1.0"), f(0.1, "0.1"), f(100.0, "100.0"),
                      f(-2.5, "-2.5"), f(12.34, "12.34"), f(0.1 + 0.2, "0.30000000000000004"),
                      f(0.00123, "0.00123"), f(1e-5, "0.00001"), f(0.000001, "1e-6"), f(1.5e-7, "1.5e-7"),
                      f(1e15, "1000000000000000.0"), f(1234567890123456.7, "1234567890123456.8"),
                      f(1e16, "1e+16"), f(1e21, "1e+21"),
                      f(123456789012345680000.0, "1.2345678901234568e+20"), f(-1e100, "-1e+100"),
                      f(DBL_MAX, "1.7976931348623157e+308"),
                      f(std::numeric_limits<double>::denorm_min(), "5e-324"),
                      f(std::numeric_limits<double>::quiet_NaN(), "null"),
                      f(std::numeric_limits<double>::infinity(), "null"),
                      f(-std::numeric_limits<double>::infinity(), "null")));

// The float text built literally from the rules out of to_chars' shortest
// digits, against the writer, over values that are exact short decimals
// (written without the general search) and values around them.
std::string float_text_by_the_rules(double d) {
  char sci[40];
  const char* end = std::to_chars(sci, sci + sizeof sci, std::fabs(d), std::chars_format::scientific).ptr;
  std::string digits;
  const char* p = sci;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits += *p;
  }
  const int e = std::atoi(std::string(p + 1, end).c_str());
  const int n = static_cast<int>(digits.size());
  std::string out = d < 0 ? "-" : "";
  if (e < -5 || e > 15) {
    out += digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    return out + "e" + (e < 0 ? "-" : "+") + std::to_string(std::abs(e));
  }
  if (e < 0) return out + "0." + std::string(-e - 1, '0') + digits;
  if (n <= e + 1) return out + digits + std::string(e + 1 - n, '0') + ".0";
  return out + digits.substr(0, e + 1) + "." + digits.substr(e + 1);
}

TEST(FloatText, ShortDecimalsAndTheirNeighbours) {
  std::vector<double> values;
  for (int twos = 0; twos <= 60; ++twos) {
    for (const double base : {1.0, 3.0, 5.0, 12.75, 999.5, 1234567.0, 4503599627370497.0, 9007199254740991.0}) {
      values.push_back(std::ldexp(base, -twos));
      values.push_back(std::ldexp(base, twos));
    }
  }
  for (double m = 999999999999990.0; m < 1000000000000010.0; m += 0.5) values.push_back(m);
  for (const double d : std::vector<double>(values)) {
    values.push_back(std::nextafter(d, 0.0));
    values.push_back(std::nextafter(d, 1e300));
  }
  for (const double d : values) {
    for (const double signed_d : {d, -d}) {
      EXPECT_EQ(json_of(Value::floating(signed_d)), float_text_by_the_rules(signed_d)) << signed_d;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scalars, JsonText,
    ::testing::Values(TextCase{Value::null(), "null"}, TextCase{Value::boolean(false), "false"},
                      TextCase{Value::integer(INT64_MIN), "-9223372036854775808"},
                      TextCase{Value::integer(INT64_MAX), "9223372036854775807"},
                      TextCase{Value::list({}), "[]"}, TextCase{Value::map({}), "{}"}));

// Values and keys are escaped alike: each text is also written as a key.
class StringEscapes : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(StringEscapes, ValueAndKey) {
  const auto& [text, json] = GetParam();
  EXPECT_EQ(json_of(Value::str(text)), json);
  FieldMap keyed;
  keyed.append(text, Value::null());
  EXPECT_EQ(json_of(Value::map(std::move(keyed))), "{" + json + ":null}");
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringEscapes,
    ::testing::Values(std::pair{"", R"("")"},
                      std::pair{"a long plain run then \"\\\t\x01\xC3\xA9", R"("a long plain run then \"\\\t\u0001)" "\xC3\xA9\""},
                      std::pair{"\b\f\n\r\x1b\x1f", R"("\b\f\n\r\u001b\u001f")"},
                      std::pair{"\x7f/\xE2\x80\xAE", "\"\x7f/\xE2\x80\xAE\""},
                      std::pair{std::string("a\0b", 3), R"("a\u0000b")"}));

// Strings are stored a word of eight bytes at a time: every length around
// the word size, with an escaped byte at every position, and one after
// another string in a buffer filled to each possible length.
std::string escaped_byte_by_byte(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

class StringAroundWordSize : public ::testing::TestWithParam<size_t> {};

TEST_P(StringAroundWordSize, EscapeAtEveryPosition) {
  const size_t length = GetParam();
  for (size_t at = 0; at <= length; ++at) {  // `at == length`: no escape
    // Escaped, and the bytes next to them, which are not.
    for (const char special : {'"', '\\', '\n', '\x01', '\x1f', '\x00', ' ', '!', '#', '[', ']', '\x7f', '\x80',
                               '\xa2', '\xdc', '\xff'}) {
      std::string text(length, 'x');
      for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
      if (at < length) text[at] = special;
      std::string out(at, '-');  // what the buffer held before
      write_json_string(text, out);
      EXPECT_EQ(out, std::string(at, '-') + escaped_byte_by_byte(text)) << length << " " << at;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, StringAroundWordSize, ::testing::Range<size_t>(0, 41));

TEST(JsonWriter, ContainersKeepStoredOrder) {
  FieldMap map;
  map.append("b", Value::list({Value::integer(1), Value::str("x"), Value::list({}), Value::map({})}));
  map.append("a", Value::null());
  EXPECT_EQ(json_of(Value::map(std::move(map))), R"({"b":[1,"x",[],{}],"a":null})");
}

// A big integer is written bare once its text reads as exactly one JSON
// value; otherwise the parser's error, with its line and column.
class BigIntCheck : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(BigIntCheck, WrittenBareOrRejected) {
  EXPECT_EQ(json_of(Value::big_int(GetParam().first)), GetParam().second) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, BigIntCheck,
    ::testing::Values(std::pair{"-123456789012345678901234567890", "-123456789012345678901234567890"},
                      std::pair{" 123 ", "123"}, std::pair{"\t\r\n-0.5e-3\n", "-0.5e-3"},
                      std::pair{R"([1,{"a":[true,null]},"\u00e9"])", R"([1,{"a":[true,null]},"\u00e9"])"}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, BigIntCheck,
    ::testing::Values(
        std::pair{"", "error: EOF while parsing a value at line 1 column 0"},
        std::pair{"1 2", "error: trailing characters at line 1 column 3"},
        std::pair{"\n\n 1x", "error: trailing characters at line 3 column 3"},
        std::pair{"abc", "error: expected value at line 1 column 1"},
        std::pair{"-", "error: invalid number at line 1 column 1"},
        std::pair{"01", "error: invalid number at line 1 column 2"},
        std::pair{"1.", "error: invalid number at line 1 column 2"},
        std::pair{"1e+x", "error: invalid number at line 1 column 4"},
        std::pair{"trux", "error: expected ident at line 1 column 4"},
        std::pair{"[1,]", "error: expected value at line 1 column 4"},
        std::pair{"[1 2]", "error: expected `,` or `]` at line 1 column 4"},
        std::pair{R"({"a" 1})", "error: expected `:` at line 1 column 6"},
        std::pair{"{1:2}", "error: key must be a string at line 1 column 2"},
        std::pair{R"({"a":1)", "error: EOF while parsing an object at line 1 column 6"},
        std::pair{"\"a\x01\"",
                  "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        std::pair{R"("\x")", "error: invalid escape at line 1 column 3"},
        std::pair{"\"\xED\xA0\x80\"", "error: invalid unicode code point at line 1 column 1"}));

TEST(JsonWriter, BadBigIntDeepInsideFailsTheWholeValue) {
  FieldMap inner;
  inner.append("n", Value::list({Value::integer(1), Value::big_int("1 2")}));
  FieldMap root;
  root.append("ok", Value::str("x"));
  root.append("deep", Value::map(std::move(inner)));
  const JsonResult result = value_to_json(Value::map(std::move(root)));
  ASSERT_TRUE(std::holds_alternative<JsonError>(result));
  EXPECT_EQ(std::get<JsonError>(result), (JsonError{"trailing characters", 1, 3}));
}

TEST(JsonCheck, DeepNestingNeedsNoStack) {
  const std::string text = std::string(200000, '[') + std::string(200000, ']');
  const auto checked = check_single_json_value(text);
  ASSERT_TRUE(std::holds_alternative<std::string_view>(checked));
  EXPECT_EQ(std::get<std::string_view>(checked).size(), text.size());
}

}  // namespace
}  // namespace vorlisk
