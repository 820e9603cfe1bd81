// Module functions over the value conversion: what the conversion makes of
// an object (for the package's own tests and diagnostics), and the merge of
// a record's field sources for Python hooks that need it before rendering.
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py {

extern PyMethodDef kConvertValueDebugFunction;  // _convert_value_debug(obj)
extern PyMethodDef kConversionStatsFunction;    // _conversion_stats(obj)
extern PyMethodDef kRenderJsonDebugFunction;    // _render_json_debug(obj)
extern PyMethodDef kMergeFieldsFunction;        // merge_fields(bound, kwargs, contextvars)

}  // namespace vorlisk::py
