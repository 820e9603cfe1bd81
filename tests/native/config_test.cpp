// The native side of the configuration: the render policy that the fused log
// path reads from a RuntimeConfig, and the deep copy it renders a second
// line from.
#include <gtest/gtest.h>

#include "core/render/redaction.h"
#include "py/config/runtime_config.h"
#include "py/conversion/to_python.h"
#include "tests/native/embedded_python.h"

namespace vorlisk::py {
namespace {

using testing::eval;
using testing::take_error;

constexpr std::string_view kTimestamp = "2024-01-02T03:04:05.123456Z";

PyRef runtime_config(const std::string& arguments) {
  PyTypeObject* type = kRuntimeConfigType.get_or_build();
  EXPECT_NE(type, nullptr);
  testing::bind("RuntimeConfig", reinterpret_cast<PyObject*>(type));
  return eval("RuntimeConfig(" + arguments + ")");
}

FieldMap sample_fields() {
  FieldMap nested;
  nested.append("token", Value::str("t"));
  FieldMap fields;
  fields.append("user", Value::str("user=bob"));
  fields.append("auth", Value::map(std::move(nested)));
  return fields;
}

TEST(RenderPolicy, RendersWithTheConfiguredServiceAndRedaction) {
  PyRef config = runtime_config("'api', sensitive_patterns=[r'user=(\\w+)'], pattern_replacement='<$1>'");
  ASSERT_TRUE(config) << take_error();
  const RenderPolicy* policy = nullptr;
  ASSERT_TRUE(extract_runtime_config(config.get(), "config", &policy));
  EXPECT_FALSE(policy->console);
  EXPECT_TRUE(policy->blocking);

  std::optional<std::string> line =
      render_config_line(*policy, sample_fields(), "app", "error", "hi user=ann", kTimestamp, "trace");
  ASSERT_TRUE(line) << take_error();
  EXPECT_EQ(*line,
            R"({"user":"<bob>","auth":{"token":"[REDACTED]"},"logger":"app","level":"ERROR",)"
            R"("severity":3,"timestamp":"2024-01-02T03:04:05.123456Z","service":"api",)"
            R"("stack":"trace","message":"hi <ann>"})");
}

TEST(RenderPolicy, JsonErrorBecomesValueError) {
  PyRef config = runtime_config("'api'");
  const RenderPolicy* policy = nullptr;
  ASSERT_TRUE(extract_runtime_config(config.get(), "config", &policy));
  FieldMap fields;
  fields.append("deep", Value::list({Value::list({Value::big_int("1 2")})}));
  EXPECT_EQ(render_config_line(*policy, std::move(fields), "app", "info", "m", kTimestamp, {}),
            std::nullopt);
  EXPECT_EQ(take_error(), "ValueError: trailing characters at line 1 column 3");
}

TEST(CloneFields, CopyIsUntouchedByRedactionOfTheSource) {
  FieldMap source = sample_fields();
  const FieldMap copy = clone_fields(source);
  Value root = Value::map(std::move(source));
  redact_sensitive_keys_with(root, SensitiveKeys(std::vector<std::string>{"user", "auth"}));
  EXPECT_EQ(copy.find("user")->as_str(), "user=bob");
  EXPECT_EQ(copy.find("auth")->as_map().find("token")->as_str(), "t");
  EXPECT_EQ(root.as_map().find("auth")->as_str(), "[REDACTED]");
}

}  // namespace
}  // namespace vorlisk::py
