#include "py/dispatch/callback_depth.h"

#include "core/base/fork_guard.h"
#include "py/glue/trampolines.h"

namespace vorlisk::py {
namespace {

thread_local uint32_t t_depth = 0;
// Set on dispatch workers, with the fork count of the process that started
// them: there the depth never goes below one.
thread_local bool t_worker = false;
thread_local uint64_t t_worker_fork_count = 0;

// The lowest depth exit_callback() may leave.
uint32_t depth_floor() { return t_worker && t_worker_fork_count == fork_count() ? 1 : 0; }

PyObject* in_callback(PyObject*) { return PyBool_FromLong(t_depth != 0); }

PyObject* enter_callback(PyObject*) {
  ++t_depth;
  Py_RETURN_NONE;
}

PyObject* exit_callback(PyObject*) {
  if (t_depth > depth_floor()) --t_depth;
  Py_RETURN_NONE;
}

}  // namespace

bool inside_sink_callback() { return t_depth != 0; }

void mark_dispatch_worker_thread() {
  t_depth = 1;
  t_worker = true;
  t_worker_fork_count = fork_count();
}

void reset_callback_depth_after_fork() { t_depth = depth_floor(); }

PyMethodDef kInCallbackFunction = noargs_method<in_callback>(
    "in_callback",
    "in_callback()\n--\n\nTrue while the current thread is inside a sink callback.");

PyMethodDef kEnterCallbackFunction = noargs_method<enter_callback>(
    "enter_callback",
    "enter_callback()\n--\n\nMark the current thread as inside a sink callback until "
    "`exit_callback`.");

PyMethodDef kExitCallbackFunction = noargs_method<exit_callback>(
    "exit_callback", "exit_callback()\n--\n\nUndo one `enter_callback`.");

}  // namespace vorlisk::py
