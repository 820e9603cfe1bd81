#include "py/writer/log_methods.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/render/console_record.h"
#include "core/render/json_record.h"
#include "core/render/text_buffer.h"
#include "core/render/timestamp.h"
#include "py/config/redaction_config.h"
#include "py/config/render_policy.h"
#include "py/config/runtime_config.h"
#include "py/conversion/convert.h"
#include "py/conversion/dict_snapshot.h"
#include "py/conversion/direct_json.h"
#include "py/conversion/merge.h"
#include "py/conversion/text.h"
#include "py/functions/render_functions.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"
#include "py/glue/recursion_guard.h"
#include "py/glue/trampolines.h"
#include "py/writer/native_string_writer.h"

namespace vorlisk::py {
namespace {

constexpr const char* kClass = "_NativeStringWriter";

// The logging call's own options: a kwargs entry under these keys is never
// a field (bound and contextvars entries are).
bool never_from_kwargs(std::string_view key) { return key == "exc_info" || key == "stack_info"; }

// ---- field sources -----------------------------------------------------------

// The pairs of bound, kwargs and contextvars, each dict in its own order,
// held strongly: converting values runs user code, which may change or
// empty the dicts they came from.
class FieldSources {
 public:
  FieldSources(PyObject* bound, PyObject* kwargs, PyObject* contextvars)
      : bound_(bound), kwargs_(kwargs), contextvars_(contextvars) {
    keys_plain_ =
        bound_.read_plain_keys() && kwargs_.read_plain_keys() && contextvars_.read_plain_keys();
  }

  size_t size() const { return bound_.size() + kwargs_.size() + contextvars_.size(); }

  // Whether every key is plain (type exactly str, with a UTF-8 form); the
  // methods below need plain keys.
  bool all_keys_plain() const { return keys_plain_; }

  // The fields by the merge precedence, applied straight to native entries:
  // bound, then kwargs replacing in place (never "exc_info"/"stack_info"),
  // then contextvars for keys still absent. Values a later source shadows
  // or that are skipped are never converted. Plain keys only.
  std::optional<FieldMap> fields(size_t extra_capacity) const {
    FieldMap fields;
    fields.reserve(size() + extra_capacity);
    for (const DictSnapshot::Entry& entry : bound_) {
      // The keys of one dict are distinct: appended without a search.
      if (!append_converted(fields, entry.key_text(), entry.value)) return std::nullopt;
    }
    std::vector<FieldEntry>& entries = fields.entries();
    const size_t bound_count = entries.size();
    for (const DictSnapshot::Entry& entry : kwargs_) {
      const std::string_view key = entry.key_text();
      if (never_from_kwargs(key)) continue;
      // A kwargs key can only meet a bound key (the first bound_count).
      const auto bound_end = entries.begin() + static_cast<std::ptrdiff_t>(bound_count);
      const auto same = std::find_if(entries.begin(), bound_end,
                                     [&](const FieldEntry& e) { return e.key == key; });
      if (same == bound_end) {
        if (!append_converted(fields, key, entry.value)) return std::nullopt;
        continue;
      }
      Converted value = convert_top_level(entry.value);
      if (!value) return std::nullopt;
      same->value = std::move(*value);
    }
    for (const DictSnapshot::Entry& entry : contextvars_) {
      const std::string_view key = entry.key_text();
      if (fields.contains(key)) continue;
      if (!append_converted(fields, key, entry.value)) return std::nullopt;
    }
    return fields;
  }

  // Whether the line can be written straight from the pairs, in the order
  // their values convert: no kwargs key replaces a bound field in place,
  // and no field is named "exception" when an exception value will set
  // that field in place. Plain keys only.
  bool streamable(bool with_exception) const {
    for (const DictSnapshot::Entry& entry : kwargs_) {
      const std::string_view key = entry.key_text();
      if (never_from_kwargs(key)) continue;
      if (with_exception && key == kExceptionKey) return false;
      if (find_key(bound_, key)) return false;
    }
    return !with_exception ||
           (!find_key(bound_, kExceptionKey) && !find_key(contextvars_, kExceptionKey));
  }

  // Whether any source holds `key` (a kwargs key that is never a field
  // included).
  bool any_has_key(std::string_view key) const {
    return bound_.has_key(key) || kwargs_.has_key(key) || contextvars_.has_key(key);
  }

  // Writes the fields, then the exception when given, by the same
  // precedence as fields(), each value converted as it is written. Only
  // when streamable().
  DirectWrite write_fields(JsonRecordWriter& record, PyObject* exception) const {
    for (const DictSnapshot::Entry& entry : bound_) {
      const DirectWrite wrote = write_direct_field(record, entry.key_text(), entry.value);
      if (wrote != DirectWrite::ok) return wrote;
    }
    for (const DictSnapshot::Entry& entry : kwargs_) {
      const std::string_view key = entry.key_text();
      if (never_from_kwargs(key)) continue;
      const DirectWrite wrote = write_direct_field(record, key, entry.value);
      if (wrote != DirectWrite::ok) return wrote;
    }
    for (const DictSnapshot::Entry& entry : contextvars_) {
      const std::string_view key = entry.key_text();
      if (find_key(bound_, key) || find_key(kwargs_, key, true)) continue;
      const DirectWrite wrote = write_direct_field(record, key, entry.value);
      if (wrote != DirectWrite::ok) return wrote;
    }
    if (exception != nullptr) return write_direct_field(record, kExceptionKey, exception);
    return DirectWrite::ok;
  }

 private:
  static constexpr std::string_view kExceptionKey = "exception";

  // Whether `source` holds `key`; `skip_kwargs_only` leaves out the two
  // keys a kwargs dict never sets.
  static bool find_key(const DictSnapshot& source, std::string_view key,
                       bool skip_kwargs_only = false) {
    return !(skip_kwargs_only && never_from_kwargs(key)) && source.has_key(key);
  }

  static bool append_converted(FieldMap& fields, std::string_view key, PyObject* value) {
    Converted converted = convert_top_level(value);
    if (!converted) return false;
    fields.append(std::string(key), std::move(*converted));
    return true;
  }

  DictSnapshot bound_;
  DictSnapshot kwargs_;
  DictSnapshot contextvars_;
  bool keys_plain_ = false;
};

// ---- arguments ---------------------------------------------------------------

// log's and log_capture's arguments once converted, in signature order.
struct LogArgs {
  const RenderPolicy* config = nullptr;
  PyObject* logger = nullptr;
  std::string_view level;
  PyObject* message = nullptr;
  PyObject* bound = nullptr;
  PyObject* kwargs = nullptr;
  PyObject* contextvars = nullptr;
  PyObject* exception = nullptr;  // null: none
  PyObject* stack = nullptr;      // null: none
  bool json_copy = false;
  PyObject* created = nullptr;  // null: none
};

bool convert_log_args(PyObject* const* args, bool capture, LogArgs* out) {
  if (!extract_runtime_config(args[0], "config", &out->config) ||
      !extract_text_object(args[1], "logger", &out->logger) ||
      !extract_strict_text(args[2], "level", &out->level) ||
      !extract_text_object(args[3], "message", &out->message) ||
      !extract_dict(args[4], "bound", &out->bound) ||
      !extract_dict(args[5], "kwargs", &out->kwargs) ||
      !extract_dict(args[6], "contextvars", &out->contextvars)) {
    return false;
  }
  if (!is_absent(args[7])) out->exception = args[7];
  if (!is_absent(args[8]) && !extract_text_object(args[8], "stack", &out->stack)) return false;
  size_t next = 9;
  if (capture && !extract_bool(args[next++], "json_copy", &out->json_copy)) return false;
  if (!is_absent(args[next])) out->created = args[next];
  return true;
}

// ---- one record ----------------------------------------------------------------

// A rendered record: the line with its newline, and the optional JSON copy.
struct RenderedRecord {
  std::string line;
  std::optional<std::string> json_copy;
};

std::optional<FieldMap> record_fields(const LogArgs& call, const FieldSources& sources) {
  std::optional<FieldMap> fields;
  if (sources.all_keys_plain()) {
    fields = sources.fields(call.exception != nullptr ? 1 : 0);
  } else {
    PyRef merged = merge_field_dicts(call.bound, call.kwargs, call.contextvars);
    if (!merged) return std::nullopt;
    fields = convert_fields(merged.get());
  }
  if (!fields) return std::nullopt;
  if (call.exception != nullptr) {
    Converted exception = convert_top_level(call.exception);
    if (!exception) return std::nullopt;
    fields_insert_or_replace(*fields, "exception", std::move(*exception));
  }
  return fields;
}

// The time `created` gives when it converts to a float in the representable
// range; nothing when it is absent or unusable (a failing conversion is no
// error). The conversion may run user code.
std::optional<TimestampText> created_time(PyObject* created) {
  if (created == nullptr) return std::nullopt;
  const double seconds = PyFloat_AsDouble(created);
  if (seconds == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return timestamp_from_created(seconds);
}

// The record's timestamp: from `created`, else now. Read after the fields:
// the float conversion of `created` may run user code, which must come
// after the fields' own, and the clock tells when the record was rendered.
TimestampText record_timestamp(PyObject* created) {
  if (std::optional<TimestampText> time = created_time(created)) return *time;
  return current_timestamp();
}

// The record's texts, surrogates repaired.
struct RecordStrings {
  explicit RecordStrings(const LogArgs& call) : logger(call.logger), message(call.message) {
    if (call.stack != nullptr) stack = stack_text.emplace(call.stack).view();
  }

  StrText logger;
  StrText message;
  std::optional<StrText> stack_text;
  std::optional<std::string_view> stack;
};

// Whether the JSON line can be written straight from the field sources,
// with nothing converted in another order than the merged fields would be:
// no value patterns (which redact the record as a whole), and a `created`
// whose float conversion runs no user code, as its time may be needed
// before the fields are written.
bool streams_json(const LogArgs& call, const FieldSources& sources) {
  const RenderPolicy& policy = *call.config;
  if (policy.console || !policy.patterns.empty()) return false;
  if (call.created != nullptr && !PyFloat_CheckExact(call.created) &&
      !PyLong_CheckExact(call.created)) {
    return false;
  }
  return sources.streamable(call.exception != nullptr);
}

// The JSON line written as the fields convert, without a value tree: the
// same line as rendering the merged fields. `created` is known already; the
// clock, when it gives the time, is read after the fields.
std::optional<RenderedRecord> render_streamed_record(const LogArgs& call,
                                                     const FieldSources& sources,
                                                     const std::optional<TimestampText>& created) {
  const RecordStrings strings(call);
  const RenderPolicy& policy = *call.config;
  const RedactionSettings settings = policy.redaction();
  const RecordTexts texts{strings.logger.view(),  call.level,
                          policy.service,         strings.message.view(),
                          created ? created->view() : std::string_view(), strings.stack};
  const RecordTime time = created ? RecordTime::given : RecordTime::now_after_fields;
  std::optional<std::string> line =
      write_direct_record(texts, time, settings, [&](JsonRecordWriter& writer) {
        return sources.write_fields(writer, call.exception);
      });
  if (!line) return std::nullopt;
  RenderedRecord record;
  record.line = std::move(*line);
  if (call.json_copy) record.json_copy = record.line;
  record.line.push_back('\n');
  return record;
}

// Merge, convert and render one record under the call's configuration.
// Nothing with the Python error set.
std::optional<RenderedRecord> render_log_record(const LogArgs& call) {
  const FieldSources sources(call.bound, call.kwargs, call.contextvars);
  if (sources.all_keys_plain() && streams_json(call, sources)) {
    // Converting `created` runs no user code here: its time is known first.
    const std::optional<TimestampText> created = created_time(call.created);
    if (created || !sources.any_has_key("timestamp")) {
      return render_streamed_record(call, sources, created);
    }
  }

  std::optional<FieldMap> fields = record_fields(call, sources);
  if (!fields) return std::nullopt;
  const TimestampText record_time = record_timestamp(call.created);
  const RecordStrings strings(call);
  const StrText& logger = strings.logger;
  const StrText& message = strings.message;
  const std::string_view timestamp = record_time.view();
  const std::optional<std::string_view> stack = strings.stack;

  const RenderPolicy& policy = *call.config;
  RenderedRecord record;
  if (!policy.console) {
    std::optional<std::string> line = render_config_line(
        policy, std::move(*fields), logger.view(), call.level, message.view(), timestamp, stack);
    if (!line) return std::nullopt;
    if (call.json_copy) record.json_copy = *line;
    record.line = std::move(*line);
  } else {
    if (call.json_copy) {
      // A deep copy: the console renderer redacts the fields in place.
      record.json_copy = render_config_line(policy, FieldMap(*fields), logger.view(), call.level,
                                            message.view(), timestamp, stack);
      if (!record.json_copy) return std::nullopt;
    }
    record.line = render_console_line(std::move(*fields), call.level, message.view(),
                                      policy.colors, timestamp, policy.redaction(), stack);
  }
  record.line.push_back('\n');
  return record;
}

PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- log and log_capture -------------------------------------------------------

constexpr auto kLogSig = method_signature(
    kClass, "log",
    {required("config"), required("logger"), required("level"), required("message"),
     required("bound"), required("kwargs"), required("contextvars"), required("exception"),
     required("stack"), optional("created")});

PyObject* log(PyObject* self, PyObject* const* args) {
  const RecursionGuard guard;
  if (!guard.entered()) return nullptr;
  LogArgs call;
  if (!convert_log_args(args, false, &call)) return nullptr;
  std::optional<RenderedRecord> record = render_log_record(call);
  if (!record) return nullptr;
  const EnqueueOutcome outcome =
      enqueue_line(writer_of(self), std::move(record->line), call.config->blocking);
  return PyLong_FromLong(static_cast<long>(outcome));
}

constexpr auto kLogCaptureSig = method_signature(
    kClass, "log_capture",
    {required("config"), required("logger"), required("level"), required("message"),
     required("bound"), required("kwargs"), required("contextvars"), required("exception"),
     required("stack"), required("json_copy"), optional("created")});

PyObject* log_capture(PyObject* self, PyObject* const* args) {
  const RecursionGuard guard;
  if (!guard.entered()) return nullptr;
  LogArgs call;
  if (!convert_log_args(args, true, &call)) return nullptr;
  std::optional<RenderedRecord> record = render_log_record(call);
  if (!record) return nullptr;
  // The caller's copy of the line is the str returned; the line itself
  // moves into the queue.
  PyRef line = PyRef::steal(str_from(record->line));
  if (!line) return nullptr;
  PyRef copy;
  if (record->json_copy) {
    copy = PyRef::steal(str_from(*record->json_copy));
    if (!copy) return nullptr;
  } else {
    copy = PyRef::borrow(Py_None);
  }
  const EnqueueOutcome outcome =
      enqueue_line(writer_of(self), std::move(record->line), call.config->blocking);
  PyRef code = PyRef::steal(PyLong_FromLong(static_cast<long>(outcome)));
  if (!code) return nullptr;
  return PyTuple_Pack(3, code.get(), line.get(), copy.get());
}

// ---- render_enqueue_json ---------------------------------------------------------

constexpr auto kRenderEnqueueJsonSig = method_signature(
    kClass, "render_enqueue_json",
    {required("fields"), required("logger"), required("level"), required("service"),
     required("message"), required("blocking"), optional("config"), optional("sensitive_keys"),
     optional("stack"), optional("timestamp")});

constexpr auto kRenderEnqueueJsonOutcomeSig = method_signature(
    kClass, "render_enqueue_json_outcome",
    {required("fields"), required("logger"), required("level"), required("service"),
     required("message"), required("blocking"), optional("config"), optional("sensitive_keys"),
     optional("stack"), optional("timestamp")});

struct RenderEnqueueArgs {
  PyObject* fields = nullptr;
  PyObject* logger = nullptr;
  std::string_view level;
  PyObject* service = nullptr;
  PyObject* message = nullptr;
  bool blocking = false;
  const RedactionPatterns* config = nullptr;
  std::optional<std::vector<std::string>> sensitive_keys;
  PyObject* stack = nullptr;
  std::optional<std::string_view> timestamp;
};

bool convert_render_enqueue_args(PyObject* const* args, RenderEnqueueArgs* out) {
  if (!extract_dict(args[0], "fields", &out->fields) ||
      !extract_text_object(args[1], "logger", &out->logger) ||
      !extract_strict_text(args[2], "level", &out->level) ||
      !extract_text_object(args[3], "service", &out->service) ||
      !extract_text_object(args[4], "message", &out->message) ||
      !extract_bool(args[5], "blocking", &out->blocking)) {
    return false;
  }
  if (!is_absent(args[6]) && !extract_redaction_config(args[6], "config", &out->config)) {
    return false;
  }
  if (!is_absent(args[7]) &&
      !extract_text_sequence(args[7], "sensitive_keys", &out->sensitive_keys.emplace())) {
    return false;
  }
  if (!is_absent(args[8]) && !extract_text_object(args[8], "stack", &out->stack)) return false;
  if (!is_absent(args[9]) && !extract_strict_text(args[9], "timestamp", &out->timestamp.emplace())) {
    return false;
  }
  return true;
}

// Renders the JSON line exactly as render_line_with_config does with a
// config, and as render_line does without one, then pushes it.
std::optional<EnqueueOutcome> render_enqueue_json_line(PyObject* self, PyObject* const* args) {
  const RecursionGuard guard;
  if (!guard.entered()) return std::nullopt;
  RenderEnqueueArgs call;
  if (!convert_render_enqueue_args(args, &call)) return std::nullopt;
  RenderRequest request{call.fields, call.logger, call.level, call.service, call.message,
                        call.stack, call.timestamp};
  if (call.sensitive_keys) request.sensitive_keys = &*call.sensitive_keys;
  if (call.config != nullptr) {
    request.patterns = call.config->patterns;
    request.replacement = call.config->replacement;
    if (call.config->prefilter) request.prefilter = &*call.config->prefilter;
  }
  std::optional<std::string> line = render_request(request);
  if (!line) return std::nullopt;
  line->push_back('\n');
  return enqueue_line(writer_of(self), std::move(*line), call.blocking);
}

PyObject* render_enqueue_json(PyObject* self, PyObject* const* args) {
  const std::optional<EnqueueOutcome> outcome = render_enqueue_json_line(self, args);
  if (!outcome) return nullptr;
  return PyBool_FromLong(*outcome == EnqueueOutcome::accepted ? 1 : 0);
}

PyObject* render_enqueue_json_outcome(PyObject* self, PyObject* const* args) {
  const std::optional<EnqueueOutcome> outcome = render_enqueue_json_line(self, args);
  if (!outcome) return nullptr;
  return outcome_name_object(*outcome);
}

}  // namespace

PyMethodDef log_method() {
  return fastcall_method<kLogSig, log>(
      "log",
      "log($self, config, logger, level, message, bound, kwargs, contextvars, exception, stack, "
      "created=None)\n--\n\n");
}

PyMethodDef log_capture_method() {
  return fastcall_method<kLogCaptureSig, log_capture>(
      "log_capture",
      "log_capture($self, config, logger, level, message, bound, kwargs, contextvars, exception, "
      "stack, json_copy, created=None)\n--\n\n");
}

PyMethodDef render_enqueue_json_method() {
  return fastcall_method<kRenderEnqueueJsonSig, render_enqueue_json>(
      "render_enqueue_json",
      "render_enqueue_json($self, fields, logger, level, service, message, blocking, config=None, "
      "sensitive_keys=None, stack=None, timestamp=None)\n--\n\n");
}

PyMethodDef render_enqueue_json_outcome_method() {
  return fastcall_method<kRenderEnqueueJsonOutcomeSig, render_enqueue_json_outcome>(
      "render_enqueue_json_outcome",
      "render_enqueue_json_outcome($self, fields, logger, level, service, message, blocking, "
      "config=None, sensitive_keys=None, stack=None, timestamp=None)\n--\n\n");
}

}  // namespace vorlisk::py
