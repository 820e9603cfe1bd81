// Interpreter-lock helpers.
//
//   GilRelease  releases the interpreter lock for a scope (waits, blocking
//               I/O, joins) and takes it back at the end.
//
// It keeps the thread's entry count in step, so that code in the scope
// knows whether it may touch Python objects (entry.h). Native threads that
// call into Python take the lock through a thread state made for them under
// it (py/dispatch/worker_thread_state.h), never with PyGILState_Ensure on
// a thread without one.
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

}  // namespace vorlisk::py
