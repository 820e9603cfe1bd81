// report_unraisable(error): hands an exception to sys.unraisablehook, for
// diagnostics on paths of the logging package that must not raise.
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py {

extern PyMethodDef kReportUnraisableFunction;

}  // namespace vorlisk::py
