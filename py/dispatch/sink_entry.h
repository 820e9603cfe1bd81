// One callable-sink registration, and the shared list of the sinks chosen
// for one level.
//
// Thread safety: entries are immutable once made. Their Python references
// may be dropped on any thread (DeferredPyRef); clone() needs the
// interpreter lock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "py/glue/deferred_release.h"

namespace vorlisk::py {

struct SinkEntry {
  DeferredPyRef callback;        // called as callback(line) without a level callback
  int64_t token = 0;             // runtime sinks 1, 2, ...; configured sink i is ~i
  int64_t min_level = 0;         // receives records whose level is at least this
  DeferredPyRef level_callback;  // when set, called as level_callback(line, level)

  // Runtime sinks hold reservations while records that chose them are queued.
  bool is_runtime() const { return token > 0; }
  SinkEntry clone() const { return {callback.clone(), token, min_level, level_callback.clone()}; }
};

// The sinks that admit one level, configured sinks first, then runtime sinks
// by ascending token. Shared by the level cache and every record that chose
// it; never changed after it is built.
struct SinkListData {
  std::vector<SinkEntry> entries;
  bool has_runtime = false;  // some entry reserves (token > 0)
};
using SinkList = std::shared_ptr<const SinkListData>;

}  // namespace vorlisk::py
