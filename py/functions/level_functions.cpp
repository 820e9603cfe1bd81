#include "py/functions/level_functions.h"

#include <string>
#include <string_view>

#include "core/render/redaction.h"
#include "core/value/levels.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

constexpr std::string_view kVersion = "1.5.0";

PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* version(PyObject*) { return str_from(kVersion); }

constexpr auto kNormalizeLevelSig = function_signature("normalize_level", {required("level")});
PyObject* normalize_level(PyObject*, PyObject* const* args) {
  std::string_view level;
  if (!extract_strict_text(args[0], "level", &level)) return nullptr;
  return str_from(canonical_level_name(level));
}

constexpr auto kSyslogSeveritySig =
    function_signature("syslog_severity", {required("canonical_level")});
PyObject* syslog_severity(PyObject*, PyObject* const* args) {
  std::string_view level;
  if (!extract_strict_text(args[0], "canonical_level", &level)) return nullptr;
  return PyLong_FromLong(severity_for_level(level));
}

constexpr auto kNormalizedSyslogSeveritySig =
    function_signature("normalized_syslog_severity", {required("level")});
PyObject* normalized_syslog_severity(PyObject*, PyObject* const* args) {
  std::string_view level;
  if (!extract_strict_text(args[0], "level", &level)) return nullptr;
  return PyLong_FromLong(severity_for_level(canonical_level_name(level)));
}

PyObject* level_table(PyObject*) {
  PyRef rows = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(kLevelTable.size())));
  if (!rows) return nullptr;
  for (size_t i = 0; i < kLevelTable.size(); ++i) {
    const LevelRow& row = kLevelTable[i];
    PyObject* pair = Py_BuildValue("(s#i)", row.method.data(),
                                   static_cast<Py_ssize_t>(row.method.size()), int{row.level});
    if (pair == nullptr) return nullptr;
    PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(i), pair);  // steals `pair`
  }
  return rows.release();
}

PyObject* default_sensitive_keys(PyObject*) {
  PyRef keys = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(kDefaultSensitiveKeys.size())));
  if (!keys) return nullptr;
  for (size_t i = 0; i < kDefaultSensitiveKeys.size(); ++i) {
    PyObject* key = str_from(kDefaultSensitiveKeys[i]);
    if (key == nullptr) return nullptr;
    PyList_SetItem(keys.get(), static_cast<Py_ssize_t>(i), key);  // steals `key`
  }
  return keys.release();
}

PyObject* redacted_marker_key(PyObject*) { return str_from(kRedactedMarkerKey); }

}  // namespace

PyMethodDef kVersionFunction = noargs_method<version>("version", "version()\n--\n\n");

PyMethodDef kNormalizeLevelFunction = fastcall_method<kNormalizeLevelSig, normalize_level>(
    "normalize_level", "normalize_level(level)\n--\n\n");

PyMethodDef kSyslogSeverityFunction = fastcall_method<kSyslogSeveritySig, syslog_severity>(
    "syslog_severity", "syslog_severity(canonical_level)\n--\n\n");

PyMethodDef kNormalizedSyslogSeverityFunction =
    fastcall_method<kNormalizedSyslogSeveritySig, normalized_syslog_severity>(
        "normalized_syslog_severity", "normalized_syslog_severity(level)\n--\n\n");

PyMethodDef kLevelTableFunction = noargs_method<level_table>(
    "level_table",
    "level_table()\n--\n\n"
    "The core's level table: `(method name, numeric level)` pairs in display\n"
    "order, with the canonical method first for each number.");

PyMethodDef kDefaultSensitiveKeysFunction = noargs_method<default_sensitive_keys>(
    "_default_sensitive_keys",
    "_default_sensitive_keys()\n--\n\n"
    "The key names whose values are redacted when no `sensitive_keys` are\n"
    "configured, matched against whole keys ignoring case.");

PyMethodDef kRedactedMarkerKeyFunction = noargs_method<redacted_marker_key>(
    "_redacted_marker_key",
    "_redacted_marker_key()\n--\n\n"
    "The field key that marks a record as already redacted; a field with\n"
    "exactly this key is never rendered.");

}  // namespace vorlisk::py
