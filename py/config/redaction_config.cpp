#include "py/config/redaction_config.h"

#include <optional>
#include <string_view>
#include <vector>

#include "core/render/redaction.h"
#include "py/glue/extract.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

using RedactionConfigObject = NativeObject<RedactionPatterns>;

const RedactionPatterns& patterns_of(PyObject* self) {
  return native_of<RedactionConfigObject>(self);
}

constexpr auto kNewSig = method_signature(
    "RedactionConfig", "__new__",
    {required("patterns"), optional("replacement"), optional("allow_backtracking")});

PyObject* redaction_config_new(PyTypeObject* subtype, PyObject* const* args) {
  std::vector<std::string> texts;
  if (!extract_text_sequence(args[0], "patterns", &texts)) return nullptr;
  std::optional<std::string_view> replacement;
  if (!is_absent(args[1]) && !extract_strict_text(args[1], "replacement", &replacement.emplace())) {
    return nullptr;
  }
  bool allow_backtracking = false;
  if (args[2] != nullptr && !extract_bool(args[2], "allow_backtracking", &allow_backtracking)) {
    return nullptr;
  }
  std::optional<PatternList> patterns = compile_pattern_list(texts, allow_backtracking);
  if (!patterns) return nullptr;
  std::optional<PatternPrefilter> prefilter = PatternPrefilter::build(*patterns);
  RedactionPatterns config{std::move(*patterns),
                           replacement ? std::string(*replacement) : std::string(kRedacted),
                           std::move(prefilter)};
  return new_native_object<RedactionConfigObject>(subtype, std::move(config));
}

PyObject* get_len(PyObject* self) { return PyLong_FromSize_t(patterns_of(self).patterns.size()); }

int truth_value(PyObject* self) { return patterns_of(self).patterns.empty() ? 0 : 1; }

PyGetSetDef redaction_config_getters[] = {
    getter<get_len>("len", "Number of compiled patterns."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kRedactionConfigSpec{
    "RedactionConfig",
    "RedactionConfig(patterns, replacement=None, allow_backtracking=False)\n--\n\n"
    "Compiled redaction patterns held across calls to avoid per-record recompilation.\n"
    "\n"
    "The standalone rendering functions and benchmarks use it; production logging\n"
    "uses `RuntimeConfig`. Invalid patterns raise `ValueError` at construction.",
    sizeof(RedactionConfigObject),
    nullptr,
    redaction_config_getters,
    &new_trampoline<kNewSig, redaction_config_new>,
    &native_dealloc<RedactionConfigObject>,
    0,
    &bool_trampoline<truth_value>,
};

}  // namespace

ClassType kRedactionConfigType(kRedactionConfigSpec);

bool extract_redaction_config(PyObject* arg, const char* name, const RedactionPatterns** out) {
  PyObject* config = nullptr;
  if (!extract_instance(arg, kRedactionConfigType.require(), "RedactionConfig", name, &config)) {
    return false;
  }
  *out = &patterns_of(config);
  return true;
}

}  // namespace vorlisk::py
