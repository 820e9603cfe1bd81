// NativeFilter: the pre-render filter as a Python class.
//
//   NativeFilter(sample_rate=1.0, sample_max_level=None, rate_limit_max=None,
//                rate_limit_period=60.0)
//   allow(key, level) -> bool   True when the record should be rendered
//   is_empty() -> bool          True when the filter has no stage
//   stats() -> dict             {"sampled": n, "rate_limited": n}
//
// Thread safety: the native filter is shared by every thread that calls it;
// see core/filter/pre_render_filter.h. The methods run with the interpreter
// lock held, never release it, and never call into Python while a filter
// lock is held.
#pragma once

#include "py/glue/class_type.h"

namespace vorlisk::py {

extern ClassType kNativeFilterType;

}  // namespace vorlisk::py
