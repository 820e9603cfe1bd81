// Python thread states for the dispatch workers, made and deleted only
// while the interpreter lock is held.
//
// Making or deleting a thread state takes the interpreter's internal lock on
// its list of threads. A worker that did so without the interpreter lock
// (as PyGILState_Ensure does on a thread without a state) could hold that
// lock at the moment another thread forks, and the child, which on Python
// 3.11 takes it before resetting it, would wait for it for ever. Forks come
// from threads holding the interpreter lock, so work done under it is safe.
//
// So the thread that starts a worker, holding the interpreter lock, makes the
// worker's first state (HandedThreadState) and hands it over. At its first
// attach the worker, now holding the lock, makes a state of its own and
// deletes the handed one: a state made on the worker carries the worker's
// thread id and, on 3.11, is the one PyGILState_Check and PyGILState_Ensure
// find on that thread (a handed state is not, and the debug allocator
// refuses a thread without one). At the end the worker deletes its own state
// with the lock held, through PyGILState_Release.
//
// A starting thread for which PyGILState knows no state (it holds the lock
// through a state made on another thread) hands nothing over: a state made
// there would become that thread's own. Its worker makes its state with
// PyGILState_Ensure, without the lock, and is not safe from a fork at that
// moment. Python's threads, and the dispatch workers themselves, always
// have a state PyGILState knows.
//
// Thread safety: a HandedThreadState is used on the starting thread only;
// once handed over, the state and the WorkerThreadState belong to the worker.
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py {

class HandedThreadState {
 public:
  // A state in the current interpreter for a thread about to start
  // (interpreter lock held), or none (see above). When it cannot be made,
  // `failed()` is true and a Python error is set.
  HandedThreadState();
  // Deletes the state unless it was handed over (interpreter lock held).
  ~HandedThreadState();
  HandedThreadState(const HandedThreadState&) = delete;
  HandedThreadState& operator=(const HandedThreadState&) = delete;

  bool failed() const { return failed_; }
  // The state to hand over; null when there is none.
  PyThreadState* get() const { return state_; }
  // The thread started: deleting the state is now its business.
  void hand_over() { state_ = nullptr; }

 private:
  PyThreadState* state_ = nullptr;
  bool failed_ = false;
};

class WorkerThreadState {
 public:
  // `handed`: the state the starting thread made for this one, or null; never
  // used by any other thread.
  explicit WorkerThreadState(PyThreadState* handed) : handed_(handed) {}
  WorkerThreadState(const WorkerThreadState&) = delete;
  WorkerThreadState& operator=(const WorkerThreadState&) = delete;

  // Takes the interpreter lock; false, without touching the interpreter,
  // once it is finalizing.
  bool attach();
  void detach();
  // Deletes the thread's state, taking the interpreter lock for it (also
  // when the worker never attached); once the interpreter is finalizing the
  // states are left to it. Nothing here has a destructor that touches
  // Python: the interpreter may end the thread by forced unwinding.
  void finish();

 private:
  void adopt_own_state();

  PyThreadState* handed_;         // until the first attach
  PyThreadState* own_ = nullptr;  // after the first attach, the thread's state
  bool own_is_gilstate_ = false;  // PyGILState_Release deletes `own_`
};

}  // namespace vorlisk::py
