// The CallableDispatcher object and its methods, shared among the files
// that implement them: the registry (callable_dispatcher.cpp), the record
// path (dispatch_enqueue.cpp) and the lifecycle (dispatcher_lifecycle.cpp).
#pragma once

#include <memory>

#include "py/dispatch/dispatcher_state.h"
#include "py/glue/class_type.h"

namespace vorlisk::py {

using DispatcherObject = NativeDictObject<std::shared_ptr<DispatcherState>>;

inline const std::shared_ptr<DispatcherState>& state_of(PyObject* self) {
  return native_of<DispatcherObject>(self);
}

// Method table entries, in the order of the class's method table.
PyMethodDef remove_method();
PyMethodDef configure_method();
PyMethodDef sync_method();
PyMethodDef disable_method();
PyMethodDef stop_method();
PyMethodDef flush_method();
PyMethodDef idle_method();
PyMethodDef enqueue_method();
PyMethodDef reset_drop_count_method();

}  // namespace vorlisk::py
