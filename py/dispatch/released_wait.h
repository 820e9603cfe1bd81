// Waiting with the interpreter lock released, for the dispatcher's callers.
//
// Unlike GilRelease, the lock is taken back in ordinary code rather than in
// a destructor: during interpreter finalization taking it back may end the
// thread by forced unwinding, which must not start inside a destructor.
// `work` must not touch Python objects.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "py/glue/entry.h"
#include "py/glue/python.h"

namespace vorlisk::py {

template <class Work>
auto with_gil_released(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  const int saved_count = thread_entry_count();
  thread_entry_count() = 0;  // releases made by `work` are deferred
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
