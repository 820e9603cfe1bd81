#include "py/functions/unraisable.h"

#include "py/glue/extract.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

constexpr auto kReportUnraisableSig = function_signature("report_unraisable", {required("error")});

PyObject* report_unraisable(PyObject*, PyObject* const* args) {
  PyObject* error = nullptr;
  if (!extract_exception(args[0], "error", &error)) return nullptr;
  // PyErr_Restore steals one reference of each.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error));
  Py_INCREF(type);
  Py_INCREF(error);
  PyErr_Restore(type, error, PyException_GetTraceback(error));
  PyErr_WriteUnraisable(nullptr);
  PyErr_Clear();  // whatever the hook did, the caller must not see an error
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef kReportUnraisableFunction = fastcall_method<kReportUnraisableSig, report_unraisable>(
    "report_unraisable",
    "report_unraisable(error)\n--\n\n"
    "Report `error` through `sys.unraisablehook` instead of raising it.\n"
    "\n"
    "For Python diagnostics on the logging path that must not raise; see `warn`.");

}  // namespace vorlisk::py
