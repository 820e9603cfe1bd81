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

// What every line below ends with, unless a case moves or changes a member.
const std::string kLogger = R"("logger":"app")";
const std::string kLevel = R"("level":"WARN","severity":4)";
const std::string kTime = R"("timestamp":"2024-01-02T03:04:05.123456Z")";
const std::string kFixed = kLogger + "," + kLevel + "," + kTime + R"(,"service":"api","message":"hi"})";

std::string line_of(FieldMap record_fields, const RedactionSettings& settings = {},
                    std::optional<std::string_view> stack = std::nullopt) {
  JsonResult result = render_json_record(std::move(record_fields), "app", "warning", "api", "hi",
                                         "2024-01-02T03:04:05.123456Z", stack, settings);
  if (auto* error = std::get_if<JsonError>(&result)) return "error: " + error->display();
  return std::get<std::string>(result);
}

TEST(JsonRecord, ExampleLine) {
  EXPECT_EQ(line_of(fields({{"user", Value::str("bob")}, {"attempt", Value::integer(3)}})),
            R"({"user":"bob","attempt":3,"logger":"app","level":"WARN","severity":4,)"
            R"("timestamp":"2024-01-02T03:04:05.123456Z","service":"api","message":"hi"})");
  EXPECT_EQ(line_of({}, {}, "at x"),
            "{" + kLogger + "," + kLevel + "," + kTime + R"(,"service":"api","stack":"at x","message":"hi"})");
}

struct PlacementCase {
  const char* name;
  FieldMap fields;
  std::optional<std::string_view> stack;
  std::string line;
};

class FixedMemberPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(FixedMemberPlacement, Line) { EXPECT_EQ(line_of(GetParam().fields, {}, GetParam().stack), GetParam().line); }

INSTANTIATE_TEST_SUITE_P(
    Fields, FixedMemberPlacement,
    ::testing::Values(
        PlacementCase{"LevelFieldFirst", fields({{"level", Value::integer(99)}, {"a", Value::null()}}), std::nullopt,
                      R"({"level":"WARN","a":null,"logger":"app","severity":4,)" + kTime +
                          R"(,"service":"api","message":"hi"})"},
        PlacementCase{"ServiceFieldKeepsItsValue", fields({{"service", Value::str("own")}}), std::nullopt,
                      R"({"service":"own",)" + kLogger + "," + kLevel + "," + kTime + R"(,"message":"hi"})"},
        PlacementCase{"StackFieldWithoutStackText", fields({{"stack", Value::list({})}}), std::nullopt,
                      R"({"stack":[],)" + kFixed},
        PlacementCase{"StackFieldReplacedInPlace", fields({{"stack", Value::integer(1)}, {"z", Value::null()}}),
                      "trace", R"({"stack":"trace","z":null,)" + kFixed},
        PlacementCase{"MessageAndSeverityInPlace",
                      fields({{"message", Value::map({})}, {"severity", Value::str("high")}}), std::nullopt,
                      R"({"message":"hi","severity":4,"logger":"app","level":"WARN",)" + kTime +
                          R"(,"service":"api"})"},
        PlacementCase{"MarkerFieldDropped",
                      fields({{"_vorlisk_redacted", Value::boolean(true)}, {"_VORLISK_REDACTED", Value::integer(2)}}),
                      std::nullopt, R"({"_VORLISK_REDACTED":2,)" + kFixed}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyListCase {
  const char* name;
  std::vector<std::string> keys;
  std::string line;
};

class SensitiveKeyList : public ::testing::TestWithParam<KeyListCase> {};

TEST_P(SensitiveKeyList, Line) {
  const SensitiveKeys keys(GetParam().keys);
  RedactionSettings settings;
  settings.sensitive_keys = &keys;
  EXPECT_EQ(line_of(fields({{"password", Value::str("pw")}}), settings), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SensitiveKeyList,
    ::testing::Values(
        KeyListCase{"EmptyListRedactsNothing", {}, R"({"password":"pw",)" + kFixed},
        KeyListCase{"FixedMembersNeverRedacted", {"level", "severity", "timestamp"}, R"({"password":"pw",)" + kFixed},
        KeyListCase{"RecordTexts",
                    {"MESSAGE", "logger", "service"},
                    R"({"password":"pw","logger":"[REDACTED]",)" + kLevel + "," + kTime +
                        R"(,"service":"[REDACTED]","message":"[REDACTED]"})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonRecord, PatternsChangeTextsButNeverLevelOrTimestamp) {
  const std::vector<CompiledPattern> compiled = patterns({"a", "2024|WARN|0"});
  RedactionSettings settings;
  settings.patterns = compiled;
  settings.replacement = "#";
  JsonResult result = render_json_record(fields({{"n", Value::integer(40)}}), "app", "warning", "svc", "a hat",
                                         "2024-01-02T03:04:05.123456Z", "stack a", settings);
  EXPECT_EQ(std::get<std::string>(result), R"({"n":"4#","logger":"#pp",)" + kLevel + "," + kTime +
                                               R"(,"service":"svc","stack":"st#ck #","message":"# h#t"})");
}

TEST(JsonRecord, FieldRenamedToServiceByAPatternKeepsItsValue) {
  const std::vector<CompiledPattern> compiled = patterns({"^svc$"});
  RedactionSettings settings;
  settings.patterns = compiled;
  settings.replacement = "service";
  EXPECT_EQ(line_of(fields({{"svc", Value::str("own")}}), settings),
            R"({"service":"own",)" + kLogger + "," + kLevel + "," + kTime + R"(,"message":"hi"})");
}

TEST(JsonRecord, InvalidBigIntFailsTheLineUnlessReplaced) {
  FieldMap inner = fields({{"deep", Value::list({Value::integer(1), Value::big_int("1 2")})}});
  EXPECT_EQ(line_of(fields({{"m", Value::map(inner)}})), "error: trailing characters at line 1 column 3");
  EXPECT_EQ(line_of(fields({{"message", Value::big_int("x")}})),
            R"({"message":"hi","logger":"app",)" + kLevel + "," + kTime + R"(,"service":"api"})");
}

// The renderers' own record-text redaction must agree with redact_text_field.
struct RecordTextCase {
  const char* key;
  const char* text;
  std::vector<const char*> patterns;
  std::optional<std::vector<std::string>> keys;
};

class RecordText : public ::testing::TestWithParam<RecordTextCase> {};

TEST_P(RecordText, AgreesWithRedactTextField) {
  const RecordTextCase& c = GetParam();
  std::vector<CompiledPattern> compiled;
  for (const char* p : c.patterns) compiled.push_back(std::move(std::get<CompiledPattern>(compile_pattern(p, false))));
  RedactionSettings settings;
  settings.patterns = compiled;
  settings.replacement = "<$0>";
  std::optional<SensitiveKeys> keys;
  if (c.keys) settings.sensitive_keys = &keys.emplace(*c.keys);
  EXPECT_EQ(redact_record_text(c.key, c.text, settings).view(), redact_text_field(c.key, c.text, settings));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordText,
    ::testing::Values(RecordTextCase{"message", "no match here", {"\\d+"}, std::nullopt},
                      RecordTextCase{"message", "id 42 and 7", {"\\d+", "<4"}, std::nullopt},
                      RecordTextCase{"message", "id 42", {"\\d+"}, std::vector<std::string>{"Message"}},
                      RecordTextCase{"token", "id 42", {"\\d+"}, std::vector<std::string>{}}));

}  // namespace
}  // namespace vorlisk
