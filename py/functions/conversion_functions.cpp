#include "py/functions/conversion_functions.h"

#include <string>

#include "core/render/json_writer.h"
#include "py/conversion/convert.h"
#include "py/conversion/merge.h"
#include "py/conversion/to_python.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"
#include "py/glue/recursion_guard.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

constexpr auto kConvertValueDebugSig =
    function_signature("_convert_value_debug", {required("obj")});
PyObject* convert_value_debug(PyObject*, PyObject* const* args) {
  const RecursionGuard guard;
  if (!guard.entered()) return nullptr;
  Converted value = convert_top_level(args[0]);
  if (!value) return nullptr;
  return value_to_py(*value).release();
}

constexpr auto kConversionStatsSig = function_signature("_conversion_stats", {required("obj")});
PyObject* conversion_stats(PyObject*, PyObject* const* args) {
  const RecursionGuard guard;
  if (!guard.entered()) return nullptr;
  Converted value = convert_top_level(args[0]);
  if (!value) return nullptr;
  ConversionStats stats;
  count_value_nodes(*value, 1, stats);
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  for (const auto& [key, count] : {std::pair{"nodes", stats.nodes}, {"max_depth", stats.max_depth}}) {
    PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(count));
    if (!number || PyDict_SetItemString(result.get(), key, number.get()) < 0) return nullptr;
  }
  return result.release();
}

constexpr auto kRenderJsonDebugSig = function_signature("_render_json_debug", {required("obj")});
PyObject* render_json_debug(PyObject*, PyObject* const* args) {
  const RecursionGuard guard;
  if (!guard.entered()) return nullptr;
  Converted value = convert_top_level(args[0]);
  if (!value) return nullptr;
  JsonResult json = value_to_json(*value);
  if (const JsonError* error = std::get_if<JsonError>(&json)) {
    raise_value_error(error->display());
    return nullptr;
  }
  const std::string& text = std::get<std::string>(json);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

constexpr auto kMergeFieldsSig = function_signature(
    "merge_fields", {required("bound"), required("kwargs"), required("contextvars")});
PyObject* merge_fields(PyObject*, PyObject* const* args) {
  const RecursionGuard guard;
  if (!guard.entered()) return nullptr;
  PyObject* dicts[3];
  const char* names[3] = {"bound", "kwargs", "contextvars"};
  for (int i = 0; i < 3; ++i) {
    if (!extract_dict(args[i], names[i], &dicts[i])) return nullptr;
  }
  return merge_field_dicts(dicts[0], dicts[1], dicts[2]).release();
}

}  // namespace

PyMethodDef kConvertValueDebugFunction =
    fastcall_method<kConvertValueDebugSig, convert_value_debug>(
        "_convert_value_debug", "_convert_value_debug(obj)\n--\n\n");

PyMethodDef kConversionStatsFunction = fastcall_method<kConversionStatsSig, conversion_stats>(
    "_conversion_stats", "_conversion_stats(obj)\n--\n\n");

PyMethodDef kRenderJsonDebugFunction = fastcall_method<kRenderJsonDebugSig, render_json_debug>(
    "_render_json_debug", "_render_json_debug(obj)\n--\n\n");

PyMethodDef kMergeFieldsFunction = fastcall_method<kMergeFieldsSig, merge_fields>(
    "merge_fields",
    "merge_fields(bound, kwargs, contextvars)\n--\n\n"
    "Merge a record's field sources into a Python dict.\n"
    "\n"
    "Same semantics as the merge inside the fused `log` entry points, for the\n"
    "path where a Python hook (OpenTelemetry enrichment, the metric or Sentry\n"
    "processor) needs the merged mapping before rendering.\n"
    "\n"
    "A contextvar fills only a key that is still absent. When some key is not\n"
    "plain (see [`is_plain_key`]), absent also means that no bound or kwargs\n"
    "key renders alike: rendering collapses such keys with the later one\n"
    "winning, which would otherwise let the contextvar override the call.");

}  // namespace vorlisk::py
