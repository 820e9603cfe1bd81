// The extension module vorlisk._rust: its definition, and the exec step
// that adds the module's functions and classes in their fixed order, each
// name appended to the module's __all__.
//
// Nothing else happens at import: no thread starts, no file opens. Only the
// main interpreter may import it. The other steps register the hooks that
// write out open writers when the process ends (exit_flush.h), this early so
// that the exit handler runs after the exit handlers registered later, and
// check that the fork() handlers, installed as the extension loaded, are in
// place (fork_guard.h).

#include <cstring>

#include "core/base/fork_guard.h"
#include "py/config/redaction_config.h"
#include "py/config/runtime_config.h"
#include "py/dispatch/callable_dispatcher.h"
#include "py/dispatch/callback_depth.h"
#include "py/dispatch/dispatch_channel.h"
#include "py/filter/native_filter.h"
#include "py/functions/conversion_functions.h"
#include "py/functions/level_functions.h"
#include "py/functions/render_functions.h"
#include "py/functions/unraisable.h"
#include "py/functions/validate_patterns.h"
#include "py/glue/class_type.h"
#include "py/glue/entry.h"
#include "py/glue/extract.h"
#include "py/glue/py_ref.h"
#include "py/writer/exit_flush.h"
#include "py/writer/native_string_writer.h"

namespace vorlisk::py {
namespace {

// One item of the module: a function or a class.
struct ModuleItem {
  PyMethodDef* function;
  ClassType* type;
};

// The module's items in their order. A subsystem adds its items in their
// place: version, normalize_level, syslog_severity,
// normalized_syslog_severity, level_table, _default_sensitive_keys,
// _redacted_marker_key, _convert_value_debug, _conversion_stats,
// _render_json_debug, validate_patterns, render_line,
// render_line_with_config, render_line_console, render_console_with_config,
// _NativeStringWriter, NativeFilter, RedactionConfig, RuntimeConfig,
// merge_fields, CallableDispatcher, DispatchChannel, in_callback,
// enter_callback, exit_callback, report_unraisable.
ModuleItem* module_items() {
  static ModuleItem items[] = {
      {&kVersionFunction, nullptr},
      {&kNormalizeLevelFunction, nullptr},
      {&kSyslogSeverityFunction, nullptr},
      {&kNormalizedSyslogSeverityFunction, nullptr},
      {&kLevelTableFunction, nullptr},
      {&kDefaultSensitiveKeysFunction, nullptr},
      {&kRedactedMarkerKeyFunction, nullptr},
      {&kConvertValueDebugFunction, nullptr},
      {&kConversionStatsFunction, nullptr},
      {&kRenderJsonDebugFunction, nullptr},
      {&kValidatePatternsFunction, nullptr},
      {&kRenderLineFunction, nullptr},
      {&kRenderLineWithConfigFunction, nullptr},
      {&kRenderLineConsoleFunction, nullptr},
      {&kRenderConsoleWithConfigFunction, nullptr},
      {nullptr, &kNativeStringWriterType},
      {nullptr, &kNativeFilterType},
      {nullptr, &kRedactionConfigType},
      {nullptr, &kRuntimeConfigType},
      {&kMergeFieldsFunction, nullptr},
      {nullptr, &callable_dispatcher_type()},
      {nullptr, &kDispatchChannelType},
      {&kInCallbackFunction, nullptr},
      {&kEnterCallbackFunction, nullptr},
      {&kExitCallbackFunction, nullptr},
      {&kReportUnraisableFunction, nullptr},
      {nullptr, nullptr},
  };
  return items;
}

// Appends `name` to the module's __all__ (creating the list when missing),
// then sets the attribute. Borrows `object`.
bool add_to_module(PyObject* module, PyObject* name, PyObject* object) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    raise_type_mismatch(all.get(), "list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, object) == 0;
}

bool add_function(PyObject* module, PyMethodDef* definition) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef function =
      PyRef::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
  if (!function) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_type_mismatch(name.get(), "str");
    return false;
  }
  return add_to_module(module, name.get(), function.get());
}

bool add_class(PyObject* module, ClassType& type) {
  PyTypeObject* type_object = type.get_or_build();
  if (type_object == nullptr) return false;
  PyRef name = PyRef::steal(PyUnicode_FromString(type.name()));
  if (!name) return false;
  return add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type_object));
}

// The type objects and the other cached Python objects are made once per
// process and belong to the interpreter that made them, and dispatch
// workers outlive any interpreter but the main one: another interpreter
// would share objects it does not own and run sinks after it is gone.
bool in_main_interpreter() {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) return true;
  PyErr_SetString(PyExc_ImportError,
                  "vorlisk._rust can only be imported in the main interpreter");
  return false;
}

int module_exec(PyObject* module) {
  return guarded_entry<int>(-1, [&] {
    if (!in_main_interpreter()) return -1;
    if (!PyModule_Check(module)) {
      raise_type_mismatch(module, "module");
      return -1;
    }
    for (ModuleItem* item = module_items(); item->function || item->type; ++item) {
      const bool added = item->function ? add_function(module, item->function)
                                        : add_class(module, *item->type);
      if (!added) return -1;
    }
    if (!register_exit_flush()) return -1;
    if (!fork_guard_installed()) {
      PyErr_NoMemory();
      return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_rust",        // m_name
    "",             // m_doc
    0,              // m_size: no per-module state
    nullptr,        // m_methods: every function is added by the exec step
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace
}  // namespace vorlisk::py

PyMODINIT_FUNC PyInit__rust(void) { return PyModuleDef_Init(&vorlisk::py::module_definition); }
