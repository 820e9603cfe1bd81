// The body of a queue generation's worker thread: waits for records, waits
// once for its generation's turn, then hands each record's line to the
// sinks reserved for it, in batches of up to 64 under one hold of the
// interpreter lock, until its generation is retired and empty or abandoned.
//
// The worker starts with a thread state that the opening thread made for it
// (worker_thread_state.h) and keeps a state of its own for its whole life,
// deleted when it ends, also when it never delivered. It counts as inside a
// sink callback throughout, and holds only a weak reference to the
// dispatcher. It never takes the interpreter lock once the interpreter is
// finalizing; should the interpreter end the thread while a sink runs, the
// unwinding passes through without touching Python.
//
// A sink that forks leaves this thread as the only one of the child. There
// it delivers nothing more, and ends the way a Python thread ends in a child
// forked from it: when the sink returns, or raises SystemExit, the thread
// deletes its thread state and ends, and with it the process, unless the
// child started threads of its own.
#pragma once

#include <memory>

#include "py/dispatch/dispatcher_state.h"
#include "py/glue/python.h"

namespace vorlisk::py {

inline constexpr size_t kDeliveryBatch = 64;
inline constexpr const char* kDispatchWorkerName = "vorlisk-callable-sinks";

// `handed_thread_state`: made for this worker by the opening thread
// (HandedThreadState), or null; the worker owns it.
void dispatch_worker_loop(std::weak_ptr<DispatcherState> state,
                          std::shared_ptr<QueueGeneration> generation,
                          PyThreadState* handed_thread_state);

}  // namespace vorlisk::py
