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
// lock is held. So the filter's locks are held only by the thread holding
// the interpreter lock, the one that forks: a forked child never inherits
// one held by a thread that stayed behind, and goes on with the filter as
// it is (the sampler reseeds there, see core/filter/sampler.h).
#pragma once

#include "py/glue/class_type.h"

namespace vorlisk::py {

extern ClassType kNativeFilterType;

}  // namespace vorlisk::py
