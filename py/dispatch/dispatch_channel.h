// DispatchChannel: the Python handle on one queue generation, for the
// package's lifecycle tests and metrics. Not constructible from Python; the
// dispatcher hands one out for every generation it opens.
//
// Thread safety: the handle is immutable; everything it reads or changes is
// behind the generation's locks, and its waits release the interpreter lock.
#pragma once

#include <memory>

#include "py/dispatch/generation.h"
#include "py/glue/class_type.h"

namespace vorlisk::py {

extern ClassType kDispatchChannelType;

// A new DispatchChannel on `generation`, or null with the Python error set.
// Fails internally when the type cannot be built.
PyObject* new_dispatch_channel(std::shared_ptr<QueueGeneration> generation);

}  // namespace vorlisk::py
