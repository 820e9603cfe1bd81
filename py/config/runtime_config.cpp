#include "py/config/runtime_config.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py/conversion/text.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

using RuntimeConfigObject = NativeObject<RenderPolicy>;

const RenderPolicy& policy_of(PyObject* self) { return native_of<RuntimeConfigObject>(self); }

PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

bool extract_optional_texts(PyObject* arg, const char* name,
                            std::optional<std::vector<std::string>>* out) {
  if (is_absent(arg)) return true;
  return extract_text_sequence(arg, name, &out->emplace());
}

// A boolean parameter with a default: None is refused like any non-bool.
bool extract_flag(PyObject* arg, const char* name, bool* out) {
  return arg == nullptr || extract_bool(arg, name, out);
}

constexpr auto kNewSig = method_signature(
    "RuntimeConfig", "__new__",
    {required("service"), optional("sensitive_keys"), optional("sensitive_patterns"),
     optional("pattern_replacement"), optional("allow_backtracking"), optional("console"),
     optional("colors"), optional("blocking")});

PyObject* runtime_config_new(PyTypeObject* subtype, PyObject* const* args) {
  PyObject* service = nullptr;
  if (!extract_text_object(args[0], "service", &service)) return nullptr;
  RenderPolicy policy;
  std::optional<std::vector<std::string>> key_texts;
  std::optional<std::vector<std::string>> pattern_texts;
  if (!extract_optional_texts(args[1], "sensitive_keys", &key_texts) ||
      !extract_optional_texts(args[2], "sensitive_patterns", &pattern_texts)) {
    return nullptr;
  }
  std::optional<std::string_view> replacement;
  if (!is_absent(args[3]) && !extract_strict_text(args[3], "pattern_replacement", &replacement.emplace())) {
    return nullptr;
  }
  bool allow_backtracking = false;
  if (!extract_flag(args[4], "allow_backtracking", &allow_backtracking) ||
      !extract_flag(args[5], "console", &policy.console) ||
      !extract_flag(args[6], "colors", &policy.colors) ||
      !extract_flag(args[7], "blocking", &policy.blocking)) {
    return nullptr;
  }
  if (pattern_texts && !pattern_texts->empty()) {
    std::optional<PatternList> patterns = compile_pattern_list(*pattern_texts, allow_backtracking);
    if (!patterns) return nullptr;
    policy.patterns = std::move(*patterns);
    policy.prefilter = PatternPrefilter::build(policy.patterns);
  }
  if (key_texts) policy.sensitive_keys.emplace(*key_texts);
  policy.service = py_str_to_utf8(service);
  policy.replacement = replacement ? std::string(*replacement) : std::string(kRedacted);
  return new_native_object<RuntimeConfigObject>(subtype, std::move(policy));
}

PyObject* get_service(PyObject* self) { return str_from(policy_of(self).service); }
PyObject* get_console(PyObject* self) { return PyBool_FromLong(policy_of(self).console); }
PyObject* get_colors(PyObject* self) { return PyBool_FromLong(policy_of(self).colors); }
PyObject* get_blocking(PyObject* self) { return PyBool_FromLong(policy_of(self).blocking); }
PyObject* get_pattern_count(PyObject* self) {
  return PyLong_FromSize_t(policy_of(self).patterns.size());
}

constexpr auto kRedactPatternsSig =
    method_signature("RuntimeConfig", "redact_patterns", {required("text")});

PyObject* redact_patterns(PyObject* self, PyObject* const* args) {
  std::string_view text;
  if (!extract_strict_text(args[0], "text", &text)) return nullptr;
  const RenderPolicy& policy = policy_of(self);
  const RedactionSettings settings = policy.redaction();
  std::string redacted;
  if (apply_value_patterns(text, settings.patterns, settings.replacement, settings.prefilter, redacted)) {
    return str_from(redacted);
  }
  return str_from(text);
}

PyGetSetDef runtime_config_getters[] = {
    getter<get_service>("service", "Service name written into every JSON line."),
    getter<get_console>("console", "Whether records render as console lines instead of JSON."),
    getter<get_colors>("colors", "Whether console lines are coloured."),
    getter<get_blocking>("blocking", "Whether a full writer queue makes the log call wait."),
    getter<get_pattern_count>("pattern_count", "Number of compiled value-redaction patterns."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef runtime_config_methods[] = {
    fastcall_method<kRedactPatternsSig, redact_patterns>(
        "redact_patterns",
        "redact_patterns($self, text)\n--\n\n"
        "Apply the compiled value patterns to `text` in declaration order, as\n"
        "the renderer does to every string field.\n"
        "\n"
        "Structured exception locals call this on each whole rendering before\n"
        "truncating it, so that a match straddling the cut is still redacted."),
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kRuntimeConfigSpec{
    "RuntimeConfig",
    "RuntimeConfig(service, sensitive_keys=None, sensitive_patterns=None, "
    "pattern_replacement=None, allow_backtracking=False, console=False, colors=False, "
    "blocking=True)\n--\n\n"
    "Render and delivery policy shared by every record of one configuration.\n"
    "\n"
    "Built once by `configure()` and passed to the fused `log` entry points, so\n"
    "that nothing is re-marshalled per record. It is frozen: a level-only update\n"
    "shares the same object between runtime snapshots, and every thread reads it\n"
    "without a borrow.",
    sizeof(RuntimeConfigObject),
    runtime_config_methods,
    runtime_config_getters,
    &new_trampoline<kNewSig, runtime_config_new>,
    &native_dealloc<RuntimeConfigObject>,
    0,
    nullptr,
};

}  // namespace

ClassType kRuntimeConfigType(kRuntimeConfigSpec);

bool extract_runtime_config(PyObject* arg, const char* name, const RenderPolicy** out) {
  PyObject* config = nullptr;
  if (!extract_instance(arg, kRuntimeConfigType.require(), "RuntimeConfig", name, &config)) {
    return false;
  }
  *out = &policy_of(config);
  return true;
}

}  // namespace vorlisk::py
