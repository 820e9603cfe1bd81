// Counting an entry from Python into code that converts or renders values
// against the interpreter's recursion limit.
//
// Converting a value runs user code (isoformat(), __str__, probes, __hash__)
// that may enter again: an object whose isoformat() renders a record
// holding itself enters once per level, and each level keeps its native
// frames (the interpreter's included, about 2.4 KiB for the conversion
// functions and up to 5.6 KiB for the render functions and the writer's
// log in the Release build). A RecursionGuard makes such an entry end in
// RecursionError, which the conversion one level up turns into its
// "unsupported" placeholder, long before a thread's native stack runs out:
//   - it counts once against the interpreter's limit with
//     Py_EnterRecursiveCall, as the standard json module counts a level;
//   - and, as a level takes far more native stack than one of the
//     interpreter's own (and since 3.12 the interpreter counts Python
//     frames and native levels apart), the extension's entries active on
//     the thread (entry.h) number at most the recursion limit divided by
//     kUnitsPerEntry: 200 under the default limit of 1000, about 1.1 MiB
//     of native stack at the largest level.
//
// Interpreter lock held; one per entry, on the entry's own stack.
#pragma once

#include "py/glue/entry.h"
#include "py/glue/interpreter_exit.h"
#include "py/glue/python.h"

namespace vorlisk::py {

class RecursionGuard {
 public:
  static constexpr int kUnitsPerEntry = 5;

  RecursionGuard() noexcept {
    if (thread_entry_count() > Py_GetRecursionLimit() / kUnitsPerEntry) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while rendering a record");
      return;
    }
    counted_ = Py_EnterRecursiveCall(" while rendering a record") == 0;
  }
  // On a thread the interpreter is ending the count is left: there is no
  // thread state to give it back to.
  ~RecursionGuard() {
    if (counted_ && may_touch_interpreter_in_destructor()) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;

  // False when the limit is reached: RecursionError is set, and the entry
  // must fail with it.
  bool entered() const { return counted_; }

 private:
  bool counted_ = false;
};

}  // namespace vorlisk::py
