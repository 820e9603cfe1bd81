#include "core/render/console_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/render/console_text.h"
#include "core/tests/render_test_support.h"

namespace vorlisk {
namespace {

using testing_support::fields;
using testing_support::patterns;

constexpr const char* kTime = "2026-01-02T03:04:05.000006Z";
const std::string kPrefix = std::string(kTime) + " [INFO    ] hi";

std::string console_of(FieldMap record_fields, std::optional<std::string_view> stack = std::nullopt,
                       const RedactionSettings& settings = {}) {
  return render_console_line(std::move(record_fields), "info", "hi", false, kTime, settings, stack);
}

struct HeadCase {
  const char* level;
  const char* message;
  bool colors;
  std::string head;  // the line after the timestamp and its space
};

class ConsoleHead : public ::testing::TestWithParam<HeadCase> {};

TEST_P(ConsoleHead, LevelColourAndMessage) {
  const HeadCase& c = GetParam();
  EXPECT_EQ(render_console_line({}, c.level, c.message, c.colors, kTime, {}, std::nullopt),
            std::string(kTime) + " " + c.head);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, ConsoleHead,
    ::testing::Values(HeadCase{"info", "hi", false, "[INFO    ] hi"},
                      HeadCase{"info", "hi", true, "[INFO    ]\x1b[0m hi"},
                      HeadCase{"warning", "hi", true, "\x1b[33m[WARN    ]\x1b[0m hi"},
                      HeadCase{"warning", "hi", false, "[WARN    ] hi"},
                      HeadCase{"trace", "", true, "\x1b[2m[DEBUG   ]\x1b[0m "},
                      HeadCase{"exception", "x", true, "\x1b[31m[ERROR   ]\x1b[0m x"},
                      HeadCase{"fatal", "x", true, "\x1b[1;31m[CRITICAL]\x1b[0m x"},
                      HeadCase{"notice_level", "x", true, "[NOTICE_LEVEL]\x1b[0m x"},
                      // Width counts characters: two 2-byte letters leave six spaces.
                      HeadCase{"\xC3\xA9\xC3\xA9", "x", false, "[\xC3\xA9\xC3\xA9      ] x"},
                      HeadCase{"a\x1b", "x", false, "[A\\x1b      ] x"}));

INSTANTIATE_TEST_SUITE_P(
    MessageEscapes, ConsoleHead,
    ::testing::Values(HeadCase{"info", "a\x1b[31mb", false, "[INFO    ] a\\x1b[31mb"},
                      HeadCase{"info", "x\xE2\x80\xAEy", false, "[INFO    ] x\\u202ey"},
                      HeadCase{"info", "a\tb\nc\rd", false, "[INFO    ] a\\tb\\nc\\rd"},
                      HeadCase{"info", "\x7f\xC2\x85\xD8\x9C", false, "[INFO    ] \\x7f\\x85\\u061c"},
                      HeadCase{"info", "\xE2\x81\xA6\xE2\x80\x8E", false, "[INFO    ] \\u2066\\u200e"},
                      HeadCase{"info", "caf\xC3\xA9 \xF0\x9F\x99\x82 \"q\"", false,
                               "[INFO    ] caf\xC3\xA9 \xF0\x9F\x99\x82 \"q\""},
                      HeadCase{"info", "bad \xFF\xC3", false, "[INFO    ] bad \\xff\\xc3"}));

struct CharEscapeCase {
  char32_t cp;
  const char* text;
};

class CharEscape : public ::testing::TestWithParam<CharEscapeCase> {};

TEST_P(CharEscape, Form) {
  std::string out;
  push_char_escape(out, GetParam().cp);
  EXPECT_EQ(out, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, CharEscape,
                         ::testing::Values(CharEscapeCase{0x09, "\\t"}, CharEscapeCase{0x0A, "\\n"},
                                           CharEscapeCase{0x0D, "\\r"}, CharEscapeCase{0x00, "\\x00"},
                                           CharEscapeCase{0x1B, "\\x1b"}, CharEscapeCase{0x7F, "\\x7f"},
                                           CharEscapeCase{0x85, "\\x85"}, CharEscapeCase{0x200E, "\\u200e"},
                                           CharEscapeCase{0x061C, "\\u061c"},
                                           CharEscapeCase{0x1F642, "\\u1f642"}));

struct FieldCase {
  const char* name;
  FieldMap fields;
  std::string shown;  // what follows the head
};

class ConsoleFields : public ::testing::TestWithParam<FieldCase> {};

TEST_P(ConsoleFields, Shown) { EXPECT_EQ(console_of(GetParam().fields), kPrefix + GetParam().shown); }

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Values, ConsoleFields,
    ::testing::Values(
        FieldCase{"Int", fields({{"n", Value::integer(3)}}), "  n=3"},
        FieldCase{"StrAlwaysQuoted", fields({{"user", Value::str("alice")}}), "  user=\"alice\""},
        FieldCase{"StrEscapes", fields({{"s", Value::str("a\"b\\c\td\xE2\x80\xA8")}}),
                  "  s=\"a\\\"b\\\\c\\td\\u2028\""},
        FieldCase{"NestedMapAndList",
                  fields({{"m", Value::map(fields({{"a", Value::integer(1)},
                                                   {"b", Value::list({Value::boolean(true), Value::null()})}}))}}),
                  "  m={a:1, b:[True, None]}"},
        FieldCase{"Floats",
                  fields({{"one", Value::floating(1.0)}, {"nan", Value::floating(kNaN)},
                          {"big", Value::floating(1e16)}, {"inf", Value::floating(-INFINITY)}}),
                  "  one=1.0  nan=None  big=1e+16  inf=None"},
        FieldCase{"EmptyContainersAndBigInt",
                  fields({{"l", Value::list({})}, {"m", Value::map({})}, {"b", Value::big_int("-123456789012345678901")},
                          {"f", Value::boolean(false)}}),
                  "  l=[]  m={}  b=-123456789012345678901  f=False"},
        FieldCase{"HiddenFieldsButServiceShown",
                  fields({{"level", Value::integer(1)}, {"logger", Value::integer(1)}, {"message", Value::integer(1)},
                          {"severity", Value::integer(1)}, {"timestamp", Value::integer(1)},
                          {"service", Value::str("api")}, {"Level", Value::integer(2)}}),
                  "  service=\"api\"  Level=2"},
        FieldCase{"SensitiveValueRedacted", fields({{"token", Value::str("t0k")}}), "  token=\"[REDACTED]\""},
        FieldCase{"ExceptionNotStrIsInline", fields({{"exception", Value::integer(5)}}), "  exception=5"},
        FieldCase{"StackWithoutStackTextIsInline", fields({{"stack", Value::str("s")}}), "  stack=\"s\""}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyCase {
  const char* key;
  const char* top;     // as a field key
  const char* nested;  // as a key inside a map value
};

class ConsoleKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(ConsoleKeys, BareOrQuoted) {
  const KeyCase& c = GetParam();
  std::string top;
  push_console_token(top, c.key, false);
  EXPECT_EQ(top, c.top);
  std::string nested;
  push_console_token(nested, c.key, true);
  EXPECT_EQ(nested, c.nested);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConsoleKeys,
    ::testing::Values(KeyCase{"plain_key.x-1", "plain_key.x-1", "plain_key.x-1"},
                      KeyCase{"[a]", "[a]", "[a]"}, KeyCase{"", "\"\"", "\"\""},
                      KeyCase{"my key", "\"my key\"", "\"my key\""},
                      KeyCase{"a,b", "a,b", "\"a,b\""}, KeyCase{"a:b", "a:b", "\"a:b\""},
                      KeyCase{"{x}", "{x}", "\"{x}\""}, KeyCase{"a=b", "\"a=b\"", "\"a=b\""},
                      KeyCase{"a\"b", "\"a\\\"b\"", "\"a\\\"b\""},
                      KeyCase{"a\\b", "\"a\\\\b\"", "\"a\\\\b\""},
                      KeyCase{"nb\xC2\xA0sp", "\"nb\xC2\xA0sp\"", "\"nb\xC2\xA0sp\""},
                      KeyCase{"id\xE3\x80\x80", "\"id\xE3\x80\x80\"", "\"id\xE3\x80\x80\""},
                      KeyCase{"rtl\xE2\x80\x8F", "\"rtl\\u200f\"", "\"rtl\\u200f\""},
                      KeyCase{"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
                      KeyCase{"zw\xE2\x80\x8B", "zw\xE2\x80\x8B", "zw\xE2\x80\x8B"}));  // U+200B is not White_Space

TEST(ConsoleBlocks, StackThenException) {
  FieldMap record = fields({{"exception", Value::str("Traceback\nValueError")},
                            {"stack", Value::str("field")}, {"n", Value::integer(1)}});
  EXPECT_EQ(console_of(std::move(record), "at f\nat g"),
            kPrefix + "  n=1\n  at f\n  at g\n  Traceback\n  ValueError");
}

TEST(ConsoleBlocks, TrailingLineFeedAndCarriageReturns) {
  EXPECT_EQ(console_of({}, "a\n"), kPrefix + "\n  a\n  ");
  EXPECT_EQ(console_of({}, "a\r\nb\r\n"), kPrefix + "\n  a\\r\n  b\\r\n  ");
  EXPECT_EQ(console_of({}, ""), kPrefix + "\n  ");
}

TEST(ConsoleBlocks, StackAndMessageAreRedacted) {
  const std::vector<CompiledPattern> compiled = patterns({"\\d+"});
  RedactionSettings settings;
  settings.patterns = compiled;
  EXPECT_EQ(render_console_line(fields({{"n", Value::integer(12)}}), "info", "id 42", false, kTime, settings,
                                "line 7"),
            std::string(kTime) + " [INFO    ] id [REDACTED]  n=\"[REDACTED]\"\n  line [REDACTED]");
  const std::vector<std::string> keys = {"stack", "message"};
  settings.sensitive_keys = &keys;
  EXPECT_EQ(render_console_line({}, "info", "id 42", false, kTime, settings, "line 7"),
            std::string(kTime) + " [INFO    ] [REDACTED]\n  [REDACTED]");
}

TEST(ConsoleLine, NoEscapeBytesOfItsOwnWithoutColors) {
  const std::string line = console_of(fields({{"m", Value::map(fields({{"k", Value::str("v")}}))}}), "s");
  EXPECT_EQ(line.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace vorlisk
