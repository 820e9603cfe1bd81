// CallableDispatcher: registers Python callables as sinks for rendered
// lines and delivers each line to the sinks whose minimum level admits it,
// on worker threads of its own (one per queue generation).
//
// Thread safety: the Python object is frozen; it holds one strong reference
// to the shared DispatcherState, whose synchronisation is described in
// dispatcher_state.h. It carries an instance __dict__ (so lifecycle methods
// can be replaced per instance) and is garbage-collected.
#pragma once

#include "py/glue/class_type.h"

namespace vorlisk::py {

ClassType& callable_dispatcher_type();

}  // namespace vorlisk::py
