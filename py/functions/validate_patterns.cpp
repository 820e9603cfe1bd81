#include "py/functions/validate_patterns.h"

#include <span>
#include <string>
#include <vector>

#include "py/config/pattern_list.h"
#include "py/glue/extract.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

constexpr auto kValidatePatternsSig = function_signature(
    "validate_patterns", {required("patterns"), optional("allow_backtracking")});

PyObject* validate_patterns(PyObject*, PyObject* const* args) {
  std::vector<std::string> texts;
  if (!extract_text_sequence(args[0], "patterns", &texts)) return nullptr;
  bool allow_backtracking = false;
  if (args[1] != nullptr && !extract_bool(args[1], "allow_backtracking", &allow_backtracking)) {
    return nullptr;
  }
  // One at a time, each dropped at once: only the verdict is kept.
  for (const std::string& text : texts) {
    if (!compile_pattern_list(std::span(&text, 1), allow_backtracking)) return nullptr;
  }
  return PyLong_FromSize_t(texts.size());
}

}  // namespace

PyMethodDef kValidatePatternsFunction = fastcall_method<kValidatePatternsSig, validate_patterns>(
    "validate_patterns",
    "validate_patterns(patterns, allow_backtracking=False)\n--\n\n"
    "Validate regex pattern strings for native value-pattern redaction.\n"
    "\n"
    "Each pattern is compiled with the linear-time engine and the number of\n"
    "patterns is returned. With `allow_backtracking`, a pattern that engine\n"
    "rejects (look-around, backreferences) is compiled with the bounded\n"
    "backtracking engine instead.\n"
    "\n"
    "Raises `ValueError` on the first pattern that fails to compile so\n"
    "`configure()` can fail loudly at setup time.");

}  // namespace vorlisk::py
