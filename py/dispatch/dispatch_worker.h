// The body of a queue generation's worker thread: waits for records, waits
// once for its generation's turn, then hands each record's line to the
// sinks reserved for it, in batches of up to 64 under one hold of the
// interpreter lock, until its generation is retired and empty or abandoned.
//
// The worker keeps one thread state for its whole life, counts as inside a
// sink callback throughout, and holds only a weak reference to the
// dispatcher. It never takes the interpreter lock once the interpreter is
// finalizing; should the interpreter end the thread while a sink runs, the
// unwinding passes through without touching Python.
#pragma once

#include <memory>

#include "py/dispatch/dispatcher_state.h"

namespace vorlisk::py {

inline constexpr size_t kDeliveryBatch = 64;
inline constexpr const char* kDispatchWorkerName = "vorlisk-callable-sinks";

void dispatch_worker_loop(std::weak_ptr<DispatcherState> state,
                          std::shared_ptr<QueueGeneration> generation);

}  // namespace vorlisk::py
