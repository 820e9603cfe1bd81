#include "py/dispatch/worker_thread_state.h"

#include "py/glue/interpreter_exit.h"

namespace vorlisk::py {

HandedThreadState::HandedThreadState() {
  if (PyGILState_GetThisThreadState() == nullptr) return;
  state_ = PyThreadState_New(PyInterpreterState_Get());
  if (state_ == nullptr) {
    failed_ = true;
    if (!PyErr_Occurred()) PyErr_NoMemory();
  }
}

HandedThreadState::~HandedThreadState() {
  // Making the channel on the way may run Python code, where the interpreter
  // may end this thread at exit: the state is then the interpreter's.
  if (state_ == nullptr || !may_touch_interpreter_in_destructor()) return;
  PyThreadState_Clear(state_);
  PyThreadState_Delete(state_);
}

bool WorkerThreadState::attach() {
  if (interpreter_finalizing()) return false;
  if (own_ != nullptr) {
    PyEval_RestoreThread(own_);
  } else if (handed_ != nullptr) {
    PyEval_RestoreThread(handed_);
    adopt_own_state();
  } else {
    PyGILState_Ensure();
    own_is_gilstate_ = true;
  }
  return true;
}

void WorkerThreadState::detach() { own_ = PyEval_SaveThread(); }

// Interpreter lock held through the handed state.
void WorkerThreadState::adopt_own_state() {
  PyThreadState* handed = handed_;
  handed_ = nullptr;
  PyThreadState* own = PyThreadState_New(PyInterpreterState_Get());
  if (own == nullptr) {
    // No memory: the handed state serves, and is left to the interpreter.
    PyErr_Clear();
    own_ = handed;
    return;
  }
  PyThreadState_Swap(own);
  PyThreadState_Clear(handed);
  PyThreadState_Delete(handed);
  own_ = own;
  own_is_gilstate_ = true;
}

void WorkerThreadState::finish() {
  if (handed_ == nullptr && own_ == nullptr) return;  // nothing was made
  if (!attach()) return;
  if (own_is_gilstate_) {
    PyGILState_Release(PyGILState_UNLOCKED);
  } else {
    PyEval_SaveThread();
  }
  own_ = nullptr;
  own_is_gilstate_ = false;
}

}  // namespace vorlisk::py
