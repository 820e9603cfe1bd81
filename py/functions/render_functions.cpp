#include "py/functions/render_functions.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/render/console_record.h"
#include "core/render/json_record.h"
#include "core/render/timestamp.h"
#include "py/config/pattern_list.h"
#include "py/config/redaction_config.h"
#include "core/render/text_buffer.h"
#include "py/conversion/convert.h"
#include "py/conversion/dict_snapshot.h"
#include "py/conversion/direct_json.h"
#include "py/conversion/text.h"
#include "py/glue/extract.h"
#include "py/glue/recursion_guard.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

enum class LineFormat { Json, Console };
enum class PatternSource { PerCall, Config };

// One render call's arguments once converted, in signature order.
struct RenderArgs {
  PyObject* fields = nullptr;
  PyObject* logger = nullptr;
  std::string_view level;
  PyObject* service = nullptr;
  PyObject* message = nullptr;
  bool colors = false;
  const RedactionPatterns* config = nullptr;
  std::optional<std::string_view> timestamp;
  std::optional<std::vector<std::string>> sensitive_keys;
  std::optional<std::vector<std::string>> sensitive_patterns;
  PyObject* stack = nullptr;
  std::optional<std::string_view> pattern_replacement;
};

// Converts the bound arguments of a render function in signature order:
// fields, logger, level, service, message, [colors], [config], timestamp,
// sensitive_keys, [sensitive_patterns], stack, [pattern_replacement].
bool convert_render_args(PyObject* const* args, LineFormat format, PatternSource source,
                         RenderArgs* out) {
  if (!extract_dict(args[0], "fields", &out->fields) ||
      !extract_text_object(args[1], "logger", &out->logger) ||
      !extract_strict_text(args[2], "level", &out->level) ||
      !extract_text_object(args[3], "service", &out->service) ||
      !extract_text_object(args[4], "message", &out->message)) {
    return false;
  }
  size_t i = 5;
  if (format == LineFormat::Console && !extract_bool(args[i++], "colors", &out->colors)) return false;
  if (source == PatternSource::Config && !extract_redaction_config(args[i++], "config", &out->config)) {
    return false;
  }
  PyObject* arg = args[i++];
  if (!is_absent(arg) && !extract_strict_text(arg, "timestamp", &out->timestamp.emplace())) return false;
  arg = args[i++];
  if (!is_absent(arg) && !extract_text_sequence(arg, "sensitive_keys", &out->sensitive_keys.emplace())) {
    return false;
  }
  if (source == PatternSource::PerCall) {
    arg = args[i++];
    if (!is_absent(arg) &&
        !extract_text_sequence(arg, "sensitive_patterns", &out->sensitive_patterns.emplace())) {
      return false;
    }
  }
  arg = args[i++];
  if (!is_absent(arg) && !extract_text_object(arg, "stack", &out->stack)) return false;
  if (source == PatternSource::PerCall) {
    arg = args[i++];
    if (!is_absent(arg) &&
        !extract_strict_text(arg, "pattern_replacement", &out->pattern_replacement.emplace())) {
      return false;
    }
  }
  return true;
}

PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <LineFormat Format, PatternSource Source>
PyObject* render(PyObject*, PyObject* const* args) {
  const RecursionGuard guard;
  if (!guard.entered()) return nullptr;
  RenderArgs call;
  if (!convert_render_args(args, Format, Source, &call)) return nullptr;
  RenderRequest request{call.fields, call.logger, call.level, call.service, call.message,
                        call.stack, call.timestamp};
  if (call.sensitive_keys) request.sensitive_keys = &*call.sensitive_keys;
  request.console = Format == LineFormat::Console;
  request.colors = call.colors;
  if constexpr (Source == PatternSource::PerCall) {
    if (call.sensitive_patterns) request.pattern_texts = &*call.sensitive_patterns;
    if (call.pattern_replacement) request.replacement = *call.pattern_replacement;
  } else {
    request.patterns = call.config->patterns;
    request.replacement = call.config->replacement;
    if (call.config->prefilter) request.prefilter = &*call.config->prefilter;
  }
  std::optional<std::string> line = render_request(request);
  return line ? str_from(*line) : nullptr;
}

constexpr auto kRenderLineSig = function_signature(
    "render_line",
    {required("fields"), required("logger"), required("level"), required("service"),
     required("message"), optional("timestamp"), optional("sensitive_keys"),
     optional("sensitive_patterns"), optional("stack"), optional("pattern_replacement")});

constexpr auto kRenderLineWithConfigSig = function_signature(
    "render_line_with_config",
    {required("fields"), required("logger"), required("level"), required("service"),
     required("message"), required("config"), optional("timestamp"), optional("sensitive_keys"),
     optional("stack")});

constexpr auto kRenderLineConsoleSig = function_signature(
    "render_line_console",
    {required("fields"), required("logger"), required("level"), required("service"),
     required("message"), required("colors"), optional("timestamp"), optional("sensitive_keys"),
     optional("sensitive_patterns"), optional("stack"), optional("pattern_replacement")});

constexpr auto kRenderConsoleWithConfigSig = function_signature(
    "render_console_with_config",
    {required("fields"), required("logger"), required("level"), required("service"),
     required("message"), required("colors"), required("config"), optional("timestamp"),
     optional("sensitive_keys"), optional("stack")});

}  // namespace

namespace {

// A request's own texts, surrogates repaired.
struct RequestTexts {
  explicit RequestTexts(const RenderRequest& request)
      : logger(request.logger), service(request.service), message(request.message) {
    if (request.stack != nullptr) stack = stack_text.emplace(request.stack).view();
  }

  StrText logger;
  StrText service;
  StrText message;
  std::optional<StrText> stack_text;
  std::optional<std::string_view> stack;
};

// Whether the JSON line can be written as the fields convert, without a
// value tree: no value pattern applies (they redact the record as a whole).
bool may_stream_json(const RenderRequest& request) {
  const bool any_patterns = !request.patterns.empty() ||
                            (request.pattern_texts != nullptr && !request.pattern_texts->empty());
  return !request.console && !any_patterns;
}

// And for these fields: every key is plain (so that none collapse), and,
// when the clock gives the time, no field needs it before every field has
// converted.
bool streams_fields(const RenderRequest& request, DictSnapshot& fields) {
  return fields.read_plain_keys() && (request.timestamp || !fields.has_key("timestamp"));
}

// The JSON line written as the fields convert: the same line, conversions
// and failures as the rendered fields, which then convert in the order
// they are written.
std::optional<std::string> render_streamed_json(const RenderRequest& request,
                                                const DictSnapshot& fields) {
  const RequestTexts texts(request);
  std::optional<SensitiveKeys> keys;
  if (request.sensitive_keys != nullptr) keys.emplace(*request.sensitive_keys);
  const RedactionSettings settings{keys ? &*keys : nullptr, {}, request.replacement, nullptr};
  const RecordTexts record_texts{texts.logger.view(),  request.level,
                                 texts.service.view(), texts.message.view(),
                                 request.timestamp.value_or(std::string_view()), texts.stack};
  const RecordTime time = request.timestamp ? RecordTime::given : RecordTime::now_after_fields;
  return write_direct_record(record_texts, time, settings, [&](JsonRecordWriter& writer) {
    for (const DictSnapshot::Entry& entry : fields) {
      const DirectWrite wrote = write_direct_field(writer, entry.key_text(), entry.value);
      if (wrote != DirectWrite::ok) return wrote;
    }
    return DirectWrite::ok;
  });
}

}  // namespace

std::optional<std::string> render_request(const RenderRequest& request) {
  if (may_stream_json(request)) {
    DictSnapshot snapshot(request.fields);
    if (streams_fields(request, snapshot)) return render_streamed_json(request, snapshot);
  }

  std::optional<FieldMap> fields = convert_fields(request.fields);
  if (!fields) return std::nullopt;
  const RequestTexts texts(request);
  std::optional<TimestampText> now;
  const std::string_view timestamp =
      request.timestamp ? *request.timestamp : now.emplace(current_timestamp()).view();

  PatternList per_call;
  std::span<const CompiledPattern> patterns = request.patterns;
  if (request.pattern_texts != nullptr && !request.pattern_texts->empty()) {
    std::optional<PatternList> compiled = compile_standard_pattern_list(*request.pattern_texts);
    if (!compiled) return std::nullopt;
    per_call = std::move(*compiled);
    patterns = per_call;
  }
  std::optional<SensitiveKeys> keys;
  if (request.sensitive_keys != nullptr) keys.emplace(*request.sensitive_keys);
  const RedactionSettings settings{keys ? &*keys : nullptr, patterns, request.replacement,
                                   request.prefilter};
  if (request.console) {
    return render_console_line(std::move(*fields), request.level, texts.message.view(),
                               request.colors, timestamp, settings, texts.stack);
  }
  JsonResult line =
      render_json_record(std::move(*fields), texts.logger.view(), request.level,
                         texts.service.view(), texts.message.view(), timestamp, texts.stack,
                         settings);
  if (const JsonError* error = std::get_if<JsonError>(&line)) {
    raise_value_error(error->display());
    return std::nullopt;
  }
  return std::move(std::get<std::string>(line));
}

PyMethodDef kRenderLineFunction =
    fastcall_method<kRenderLineSig, render<LineFormat::Json, PatternSource::PerCall>>(
        "render_line",
        "render_line(fields, logger, level, service, message, timestamp=None, "
        "sensitive_keys=None, sensitive_patterns=None, stack=None, pattern_replacement=None)"
        "\n--\n\n");

PyMethodDef kRenderLineWithConfigFunction =
    fastcall_method<kRenderLineWithConfigSig, render<LineFormat::Json, PatternSource::Config>>(
        "render_line_with_config",
        "render_line_with_config(fields, logger, level, service, message, config, "
        "timestamp=None, sensitive_keys=None, stack=None)\n--\n\n"
        "Hot-path render using a pre-built `RedactionConfig` (patterns compiled once).");

PyMethodDef kRenderLineConsoleFunction =
    fastcall_method<kRenderLineConsoleSig, render<LineFormat::Console, PatternSource::PerCall>>(
        "render_line_console",
        "render_line_console(fields, logger, level, service, message, colors, "
        "timestamp=None, sensitive_keys=None, sensitive_patterns=None, stack=None, "
        "pattern_replacement=None)\n--\n\n"
        "Render a colored, human-readable console line (patterns compiled per call).");

PyMethodDef kRenderConsoleWithConfigFunction = fastcall_method<
    kRenderConsoleWithConfigSig, render<LineFormat::Console, PatternSource::Config>>(
    "render_console_with_config",
    "render_console_with_config(fields, logger, level, service, message, colors, config, "
    "timestamp=None, sensitive_keys=None, stack=None)\n--\n\n"
    "Hot-path console render using a pre-built `RedactionConfig`.");

}  // namespace vorlisk::py
