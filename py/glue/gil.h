// Interpreter-lock helpers.
//
//   GilRelease  releases the interpreter lock for a scope (waits, blocking
//               I/O, joins) and takes it back at the end.
//   GilAcquire  takes the interpreter lock on a thread that does not hold it
//               (a native worker), for a scope.
//
// Both keep the thread's entry count in step, so that code in the scope
// knows whether it may touch Python objects (entry.h).
#pragma once

#include "py/glue/entry.h"
#include "py/glue/python.h"

namespace vorlisk::py {

class GilRelease {
 public:
  GilRelease() : saved_count_(thread_entry_count()) {
    thread_entry_count() = 0;
    state_ = PyEval_SaveThread();
  }
  // Taking the lock back during interpreter finalization ends the thread
  // (pthread_exit); that forced unwinding must be able to leave here.
  ~GilRelease() noexcept(false) {
    PyEval_RestoreThread(state_);
    thread_entry_count() = saved_count_;
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  int saved_count_;
  PyThreadState* state_;
};

// Runs `work` with the interpreter lock released and returns its result.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  GilRelease released;
  return work();
}

class GilAcquire {
 public:
  GilAcquire() : state_(PyGILState_Ensure()) { ++thread_entry_count(); }
  // Like ~GilRelease: forced unwinding at interpreter exit may pass here.
  ~GilAcquire() noexcept(false) {
    --thread_entry_count();
    PyGILState_Release(state_);
  }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace vorlisk::py
