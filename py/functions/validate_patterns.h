// validate_patterns(patterns, allow_backtracking=False) -> int: compiles
// each value pattern once and discards it, so that configure() fails at
// set-up time with the engine's message.
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py {

extern PyMethodDef kValidatePatternsFunction;

}  // namespace vorlisk::py
