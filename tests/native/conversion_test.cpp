// A record's fields dict to a FieldMap, and the key helpers the fused log
// path shares with it, inside an embedded interpreter.
#include <gtest/gtest.h>

#include "core/render/json_writer.h"
#include "py/conversion/convert.h"
#include "tests/native/embedded_python.h"

namespace vorlisk::py {
namespace {

using testing::eval;
using testing::exec;
using testing::take_error;

std::string fields_json(const std::string& expression) {
  PyRef fields = eval(expression);
  EXPECT_TRUE(fields) << take_error();
  std::optional<FieldMap> map = convert_fields(fields.get());
  if (!map) return "error: " + take_error();
  return std::get<std::string>(value_to_json(Value::map(std::move(*map))));
}

struct FieldsCase {
  std::string fields;
  std::string json;
  friend void PrintTo(const FieldsCase& c, std::ostream* os) { *os << c.fields; }
};

class ConvertFields : public ::testing::TestWithParam<FieldsCase> {};

TEST_P(ConvertFields, GivesTheRecordFields) {
  EXPECT_EQ(fields_json(GetParam().fields), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvertFields,
    ::testing::Values(
        FieldsCase{"{}", "{}"},
        FieldsCase{"{'b': 1, 'a': [None, True]}", R"({"b":1,"a":[null,true]})"},
        // The fields dict is not a level: its values are top-level objects.
        FieldsCase{"{'v': eval('[' * 63 + '1' + ']' * 63)}",
                   "{\"v\":" + std::string(63, '[') + "1" + std::string(63, ']') + "}"},
        FieldsCase{"{'v': eval('[' * 64 + '1' + ']' * 64)}",
                   "{\"v\":" + std::string(64, '[') + "\"<max depth exceeded>\"" +
                       std::string(64, ']') + "}"},
        // Each field gets its own stack: a list shared by two fields is no cycle.
        FieldsCase{"(lambda s: {'x': s, 'y': s})([1])", R"({"x":[1],"y":[1]})"},
        FieldsCase{"{'a': 1, type('Tag', (str,), {'__hash__': lambda s: 5})('a'): 2, 'b': 3}",
                   R"({"a":2,"b":3})"},
        FieldsCase{"{'k\\ud800': 1}", "{\"k\xEF\xBF\xBD\":1}"},
        FieldsCase{"{'a': 1, 2: 'x'}", "error: TypeError: field keys must be strings"}));

TEST(ConvertFields, ValueThatDeletesOtherKeysSeesTheSnapshot) {
  ASSERT_TRUE(exec(
      "class Deleter:\n"
      "    def isoformat(self):\n"
      "        snap.pop('later', None)\n"
      "        return 'done'\n"
      "snap = {'first': Deleter(), 'later': 2}\n"));
  EXPECT_EQ(fields_json("snap"), R"({"first":"done","later":2})");
  EXPECT_EQ(fields_json("snap"), R"({"first":"done"})");
}

TEST(ConvertFields, NonExceptionErrorsEndTheConversion) {
  ASSERT_TRUE(exec(
      "class Stop:\n"
      "    def isoformat(self):\n"
      "        raise SystemExit(2)\n"));
  EXPECT_EQ(fields_json("{'a': 1, 'b': [Stop()]}"), "error: SystemExit: 2");
}

TEST(Keys, PlainKeysAndFieldKeyTexts) {
  EXPECT_TRUE(is_plain_key(eval("'user'").get()));
  EXPECT_FALSE(is_plain_key(eval("type('S', (str,), {})('user')").get()));
  EXPECT_FALSE(is_plain_key(eval("'u\\udc00'").get()));
  EXPECT_FALSE(is_plain_key(eval("1").get()));
  EXPECT_FALSE(PyErr_Occurred());

  EXPECT_EQ(field_key_from_py(eval("type('S', (str,), {})('k\\ud800')").get()), "k\xEF\xBF\xBD");
  EXPECT_EQ(field_key_from_py(eval("b'k'").get()), std::nullopt);
  EXPECT_EQ(take_error(), "TypeError: field keys must be strings");
}

TEST(Keys, InsertOrReplaceKeepsThePosition) {
  FieldMap map;
  fields_insert_or_replace(map, "a", Value::integer(1));
  fields_insert_or_replace(map, "b", Value::integer(2));
  fields_insert_or_replace(map, "a", Value::str("x"));
  EXPECT_EQ(std::get<std::string>(value_to_json(Value::map(map))), R"({"a":"x","b":2})");
}

}  // namespace
}  // namespace vorlisk::py
