// Releasing the interpreter lock around work that waits (blocking pushes,
// flushes, drains, joins, the writer's file set-up).
//
//   without_gil(work)  runs `work` with the lock released and returns its
//                      result; `work` must not touch Python objects.
//
// The thread's entry count is 0 meanwhile, so that references native code
// lets go of in `work` are queued rather than released (entry.h,
// deferred_release.h).
//
// The lock is taken back in ordinary code, never in a destructor: during
// finalization, taking it back ends the thread by forced unwinding
// (interpreter_exit.h), which must not begin inside a destructor, least of
// all one run while an exception thrown by `work` unwinds.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "py/glue/entry.h"
#include "py/glue/python.h"

namespace vorlisk::py {

template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  const int saved_count = thread_entry_count();
  thread_entry_count() = 0;
  PyThreadState* state = PyEval_SaveThread();
  auto reacquire = [&] {
    PyEval_RestoreThread(state);
    thread_entry_count() = saved_count;
  };
  if constexpr (std::is_void_v<Result>) {
    try {
      work();
    } catch (...) {
      reacquire();
      throw;
    }
    reacquire();
  } else {
    std::optional<Result> result;
    try {
      result.emplace(work());
    } catch (...) {
      reacquire();
      throw;
    }
    reacquire();
    return std::move(*result);
  }
}

}  // namespace vorlisk::py
