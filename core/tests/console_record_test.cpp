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
const std::string kHead = std::string(kTime) + " [INFO    ] hi";

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
                      HeadCase{"trace", "", true, "\x1b[2m[DEBUG   ]\x1b[0m "},
                      HeadCase{"exception", "x", true, "\x1b[31m[ERROR   ]\x1b[0m x"},
                      HeadCase{"fatal", "x", true, "\x1b[1;31m[CRITICAL]\x1b[0m x"},
                      HeadCase{"notice_level", "x", true, "[NOTICE_LEVEL]\x1b[0m x"},
                      // The width counts characters: two 2-byte letters leave six spaces.
                      HeadCase{"\xC3\xA9\xC3\xA9", "x", false, "[\xC3\xA9\xC3\xA9      ] x"}));

INSTANTIATE_TEST_SUITE_P(
    MessageEscapes, ConsoleHead,
    ::testing::Values(HeadCase{"info", "a\x1b[31mb\tc\n", false, "[INFO    ] a\\x1b[31mb\\tc\\n"},
                      HeadCase{"info", "x\xE2\x80\xAEy\xE2\x81\xA6", false, "[INFO    ] x\\u202ey\\u2066"},
                      HeadCase{"info", "\x7f\xC2\x85\xD8\x9C", false, "[INFO    ] \\x7f\\x85\\u061c"},
                      HeadCase{"info", "caf\xC3\xA9 \xF0\x9F\x99\x82 \"q\"", false,
                               "[INFO    ] caf\xC3\xA9 \xF0\x9F\x99\x82 \"q\""},
                      HeadCase{"info", "bad \xFF\xC3", false, "[INFO    ] bad \\xff\\xc3"}));

TEST(ConsoleText, CharEscapeForms) {
  std::string out;
  for (char32_t cp : {0x09, 0x0D, 0x00, 0x1B, 0x85, 0x200E, 0x1F642}) push_char_escape(out, cp);
  EXPECT_EQ(out, "\\t\\r\\x00\\x1b\\x85\\u200e\\u1f642");
}

struct FieldCase {
  const char* name;
  FieldMap fields;
  std::string shown;  // what follows the head
};

class ConsoleFields : public ::testing::TestWithParam<FieldCase> {};

TEST_P(ConsoleFields, Shown) { EXPECT_EQ(console_of(GetParam().fields), kHead + GetParam().shown); }

INSTANTIATE_TEST_SUITE_P(
    Values, ConsoleFields,
    ::testing::Values(
        FieldCase{"Scalars", fields({{"n", Value::integer(3)}, {"user", Value::str("alice")}, {"f", Value::boolean(false)},
                                     {"b", Value::big_int("-123456789012345678901")}}),
                  "  n=3  user=\"alice\"  f=False  b=-123456789012345678901"},
        FieldCase{"StrEscapes", fields({{"s", Value::str("a\"b\\c\td\xE2\x80\xA8")}}), "  s=\"a\\\"b\\\\c\\td\\u2028\""},
        FieldCase{"Containers",
                  fields({{"m", Value::map(fields({{"a", Value::integer(1)},
                                                   {"b", Value::list({Value::boolean(true), Value::null()})}}))},
                          {"l", Value::list({})}, {"e", Value::map({})}}),
                  "  m={a:1, b:[True, None]}  l=[]  e={}"},
        FieldCase{"Floats",
                  fields({{"one", Value::floating(1.0)}, {"nan", Value::floating(std::nan(""))},
                          {"big", Value::floating(1e16)}, {"inf", Value::floating(-INFINITY)}}),
                  "  one=1.0  nan=None  big=1e+16  inf=None"},
        FieldCase{"HiddenFieldsButServiceShown",
                  fields({{"level", Value::integer(1)}, {"logger", Value::integer(1)}, {"message", Value::integer(1)},
                          {"severity", Value::integer(1)}, {"timestamp", Value::integer(1)},
                          {"service", Value::str("api")}, {"Level", Value::integer(2)}}),
                  "  service=\"api\"  Level=2"},
        FieldCase{"SensitiveValue", fields({{"token", Value::str("t0k")}}), "  token=\"[REDACTED]\""},
        FieldCase{"InlineExceptionAndStack", fields({{"exception", Value::integer(5)}, {"stack", Value::str("s")}}),
                  "  exception=5  stack=\"s\""}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyCase {
  const char* key;
  const char* top;     // as a field key
  const char* nested;  // as a key inside a map value
};

class ConsoleKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(ConsoleKeys, BareOrQuoted) {
  std::string top, nested;
  push_console_token(top, GetParam().key, false);
  push_console_token(nested, GetParam().key, true);
  EXPECT_EQ(top, GetParam().top);
  EXPECT_EQ(nested, GetParam().nested);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConsoleKeys,
    ::testing::Values(KeyCase{"plain_key.x-1[0]", "plain_key.x-1[0]", "plain_key.x-1[0]"}, KeyCase{"", "\"\"", "\"\""},
                      KeyCase{"my key", "\"my key\"", "\"my key\""}, KeyCase{"a,b", "a,b", "\"a,b\""},
                      KeyCase{"{x:1}", "{x:1}", "\"{x:1}\""}, KeyCase{"a=\"\\", "\"a=\\\"\\\\\"", "\"a=\\\"\\\\\""},
                      KeyCase{"nb\xC2\xA0sp", "\"nb\xC2\xA0sp\"", "\"nb\xC2\xA0sp\""},
                      KeyCase{"rtl\xE2\x80\x8F", "\"rtl\\u200f\"", "\"rtl\\u200f\""},
                      // U+200B is not White_Space, and é is no reason to quote.
                      KeyCase{"caf\xC3\xA9\xE2\x80\x8B", "caf\xC3\xA9\xE2\x80\x8B", "caf\xC3\xA9\xE2\x80\x8B"}));

TEST(ConsoleBlocks, StackThenException) {
  FieldMap record = fields({{"exception", Value::str("Traceback\nValueError")}, {"stack", Value::str("field")},
                            {"n", Value::integer(1)}});
  EXPECT_EQ(console_of(std::move(record), "at f\nat g"), kHead + "  n=1\n  at f\n  at g\n  Traceback\n  ValueError");
}

TEST(ConsoleBlocks, TrailingLineFeedAndCarriageReturns) {
  EXPECT_EQ(console_of({}, "a\n"), kHead + "\n  a\n  ");
  EXPECT_EQ(console_of({}, "a\r\nb\r\n"), kHead + "\n  a\\r\n  b\\r\n  ");
  EXPECT_EQ(console_of({}, ""), kHead + "\n  ");
}

TEST(ConsoleBlocks, StackAndMessageAreRedacted) {
  const std::vector<CompiledPattern> compiled = patterns({"\\d+"});
  RedactionSettings settings;
  settings.patterns = compiled;
  EXPECT_EQ(render_console_line(fields({{"n", Value::integer(12)}}), "info", "id 42", false, kTime, settings, "line 7"),
            std::string(kTime) + " [INFO    ] id [REDACTED]  n=\"[REDACTED]\"\n  line [REDACTED]");
  const SensitiveKeys keys(std::vector<std::string>{"stack", "message"});
  settings.sensitive_keys = &keys;
  EXPECT_EQ(render_console_line({}, "info", "id 42", false, kTime, settings, "line 7"),
            std::string(kTime) + " [INFO    ] [REDACTED]\n  [REDACTED]");
}

}  // namespace
}  // namespace vorlisk
