#include "py/config/render_policy.h"

#include <variant>

#include "core/render/json_record.h"
#include "py/glue/extract.h"

namespace vorlisk::py {

std::optional<std::string> render_config_line(const RenderPolicy& policy, FieldMap fields,
                                              std::string_view logger, std::string_view level,
                                              std::string_view message, std::string_view timestamp,
                                              std::optional<std::string_view> stack) {
  JsonResult line = render_json_record(std::move(fields), logger, level, policy.service, message,
                                       timestamp, stack, policy.redaction());
  if (const JsonError* error = std::get_if<JsonError>(&line)) {
    raise_value_error(error->display());
    return std::nullopt;
  }
  return std::move(std::get<std::string>(line));
}

}  // namespace vorlisk::py
