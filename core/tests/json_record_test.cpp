#include "core/render/json_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/render/record_text.h"
#include "core/tests/render_test_support.h"

namespace vorlisk {
namespace {

using testing_support::fields;
using testing_support::patterns;

constexpr const char* kTime = "2024-01-02T03:04:05.123456Z";

std::string line_of(FieldMap record_fields, const RedactionSettings& settings = {},
                    std::optional<std::string_view> stack = std::nullopt,
                    std::string_view level = "warning") {
  JsonResult result =
      render_json_record(std::move(record_fields), "app", level, "api", "hi", kTime, stack, settings);
  if (auto* error = std::get_if<JsonError>(&result)) return "error: " + error->display();
  return std::get<std::string>(result);
}

TEST(JsonRecord, ExampleLine) {
  EXPECT_EQ(line_of(fields({{"user", Value::str("bob")}, {"attempt", Value::integer(3)}})),
            R"({"user":"bob","attempt":3,"logger":"app","level":"WARN","severity":4,)"
            R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})");
}

TEST(JsonRecord, NoFieldsGiveTheFixedMembersInOrder) {
  EXPECT_EQ(line_of({}, {}, std::nullopt, "debug"),
            R"({"logger":"app","level":"DEBUG","severity":7,"timestamp":"2024-01-02T03:04:05.123456Z",)"
            R"("service":"api","message":"hi"})");
  EXPECT_EQ(line_of({}, {}, "at x", "notice"),
            R"({"logger":"app","level":"NOTICE","severity":6,"timestamp":"2024-01-02T03:04:05.123456Z",)"
            R"("service":"api","stack":"at x","message":"hi"})");
}

struct PlacementCase {
  const char* name;
  FieldMap fields;
  std::optional<std::string_view> stack;
  const char* line;
};

class FixedMemberPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(FixedMemberPlacement, Line) {
  const PlacementCase& c = GetParam();
  EXPECT_EQ(line_of(c.fields, {}, c.stack), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FixedMemberPlacement,
    ::testing::Values(
        PlacementCase{"LevelFirstTakesTheCanonicalName",
                      fields({{"level", Value::integer(99)}, {"a", Value::null()}}), std::nullopt,
                      R"({"level":"WARN","a":null,"logger":"app","severity":4,)"
                      R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})"},
        PlacementCase{"ServiceFieldKeepsItsValue",
                      fields({{"service", Value::str("mine")}, {"a", Value::integer(1)}}), std::nullopt,
                      R"({"service":"mine","a":1,"logger":"app","level":"WARN","severity":4,)"
                      R"("timestamp":"2024-01-02T03:04:05.123456Z","message":"hi"})"},
        PlacementCase{"StackFieldWithoutStackTextIsLeftAlone",
                      fields({{"stack", Value::list({Value::integer(1)})}}), std::nullopt,
                      R"({"stack":[1],"logger":"app","level":"WARN","severity":4,)"
                      R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})"},
        PlacementCase{"StackFieldReplacedByTheStackText",
                      fields({{"stack", Value::integer(1)}, {"z", Value::boolean(true)}}), "trace",
                      R"({"stack":"trace","z":true,"logger":"app","level":"WARN","severity":4,)"
                      R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})"},
        PlacementCase{"MessageAndSeverityInPlace",
                      fields({{"message", Value::map({})}, {"severity", Value::str("high")},
                              {"b", Value::integer(2)}}),
                      std::nullopt,
                      R"({"message":"hi","severity":4,"b":2,"logger":"app","level":"WARN",)"
                      R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api"})"},
        PlacementCase{"MarkerFieldIsDropped",
                      fields({{"_vorlisk_redacted", Value::boolean(true)}, {"x", Value::integer(1)},
                              {"_VORLISK_REDACTED", Value::integer(2)}}),
                      std::nullopt,
                      R"({"x":1,"_VORLISK_REDACTED":2,"logger":"app","level":"WARN","severity":4,)"
                      R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})"},
        PlacementCase{"TimestampAndLoggerFieldsReplaced",
                      fields({{"timestamp", Value::integer(0)}, {"logger", Value::null()}}), std::nullopt,
                      R"({"timestamp":"2024-01-02T03:04:05.123456Z","logger":"app","level":"WARN",)"
                      R"("severity":4,"service":"api","message":"hi"})"}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyListCase {
  const char* name;
  std::vector<std::string> keys;
  const char* line;
};

class SensitiveKeyList : public ::testing::TestWithParam<KeyListCase> {};

TEST_P(SensitiveKeyList, Line) {
  RedactionSettings settings;
  settings.sensitive_keys = &GetParam().keys;
  EXPECT_EQ(line_of(fields({{"password", Value::str("pw")}}), settings), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SensitiveKeyList,
    ::testing::Values(
        KeyListCase{"EmptyListRedactsNothing", {},
                    R"({"password":"pw","logger":"app","level":"WARN","severity":4,)"
                    R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})"},
        KeyListCase{"MessageKey", {"MESSAGE"},
                    R"({"password":"pw","logger":"app","level":"WARN","severity":4,)"
                    R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"[REDACTED]"})"},
        KeyListCase{"FixedMembersNeverRedacted", {"level", "severity", "timestamp"},
                    R"({"password":"pw","logger":"app","level":"WARN","severity":4,)"
                    R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})"},
        KeyListCase{"LoggerAndService", {"logger", "service"},
                    R"({"password":"pw","logger":"[REDACTED]","level":"WARN","severity":4,)"
                    R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"[REDACTED]","message":"hi"})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonRecord, DefaultKeysRedactAtAnyDepth) {
  EXPECT_EQ(line_of(fields({{"Password", Value::str("pw")},
                            {"user", Value::map(fields({{"token", Value::integer(7)}}))}})),
            R"({"Password":"[REDACTED]","user":{"token":"[REDACTED]"},"logger":"app","level":"WARN",)"
            R"("severity":4,"timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})");
}

TEST(JsonRecord, PatternsChangeTextsButNeverLevelOrTimestamp) {
  const std::vector<CompiledPattern> compiled = patterns({"a", "2024|WARN|0"});
  RedactionSettings settings;
  settings.patterns = compiled;
  settings.replacement = "#";
  JsonResult result = render_json_record(fields({{"n", Value::integer(40)}}), "app", "warning", "svc",
                                         "a hat", kTime, "stack a", settings);
  EXPECT_EQ(std::get<std::string>(result),
            R"({"n":"4#","logger":"#pp","level":"WARN","severity":4,)"
            R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"svc","stack":"st#ck #","message":"# h#t"})");
}

TEST(JsonRecord, PatternRenamingAFieldToServiceKeepsIt) {
  const std::vector<CompiledPattern> compiled = patterns({"^svc$"});
  RedactionSettings settings;
  settings.patterns = compiled;
  settings.replacement = "service";
  EXPECT_EQ(line_of(fields({{"svc", Value::str("own")}}), settings),
            R"({"service":"own","logger":"app","level":"WARN","severity":4,)"
            R"("timestamp":"2024-01-02T03:04:05.123456Z","message":"hi"})");
}

TEST(JsonRecord, InvalidBigIntFailsTheLine) {
  FieldMap inner = fields({{"deep", Value::list({Value::integer(1), Value::big_int("1 2")})}});
  EXPECT_EQ(line_of(fields({{"a", Value::integer(1)}, {"m", Value::map(inner)}})),
            "error: trailing characters at line 1 column 3");
  // A field the record replaces is never written, so its text is never checked.
  EXPECT_EQ(line_of(fields({{"message", Value::big_int("x")}})),
            R"({"message":"hi","logger":"app","level":"WARN","severity":4,)"
            R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api"})");
}

struct RecordTextCase {
  const char* key;
  const char* text;
  std::vector<std::string> patterns;
  std::optional<std::vector<std::string>> keys;
};

class RecordText : public ::testing::TestWithParam<RecordTextCase> {};

TEST_P(RecordText, AgreesWithRedactTextField) {
  const RecordTextCase& c = GetParam();
  std::vector<CompiledPattern> compiled;
  for (const std::string& p : c.patterns) compiled.push_back(std::move(std::get<CompiledPattern>(compile_pattern(p, false))));
  RedactionSettings settings;
  settings.patterns = compiled;
  settings.replacement = "<$0>";
  if (c.keys) settings.sensitive_keys = &*c.keys;
  EXPECT_EQ(redact_record_text(c.key, c.text, settings).view(), redact_text_field(c.key, c.text, settings));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordText,
    ::testing::Values(RecordTextCase{"message", "no match here", {"\\d+"}, std::nullopt},
                      RecordTextCase{"message", "id 42 and 7", {"\\d+", "<4"}, std::nullopt},
                      RecordTextCase{"password", "id 42", {"\\d+"}, std::nullopt},
                      RecordTextCase{"message", "id 42", {"\\d+"}, std::vector<std::string>{"Message"}},
                      RecordTextCase{"token", "id 42", {"\\d+"}, std::vector<std::string>{}},
                      RecordTextCase{"logger", "", {"^"}, std::nullopt}));

}  // namespace
}  // namespace vorlisk
