// Bounding an entry from Python into code that converts or renders values by
// the native stack it may still use.
//
// Converting a value runs user code (isoformat(), __str__, probes, __hash__)
// that may enter again: an object whose isoformat() renders a record
// holding itself enters once per level, and each level keeps its native
// frames: the interpreter's, the entry's, and one set per container level
// of the value it converts. How many levels fit depends on the data and on
// the thread (8 MiB on the main thread, 2 MiB or less on threads with a set
// stack size), so the bound is what is left of the thread's stack
// (core/base/thread_stack.h; the floor is kept per thread, entry.h):
//   - an entry with less than kStackMargin left ends in RecursionError,
//     which the conversion one level up turns into its "unsupported"
//     placeholder;
//   - below the top level, each container and each object that may run user
//     code finds the same room or becomes that placeholder itself
//     (ConversionStack::native_stack_short, convert.h);
//   - and the entry counts once against the interpreter's recursion limit
//     with Py_EnterRecursiveCall, as the standard json module counts a
//     level.
//
// kStackMargin must cover what runs between two of those questions: one
// container level, the interpreter's frames of a call into Python code that
// enters again, and the rendering of a whole record once its values are
// converted (a 64-level value, its patterns applied). Measured without the
// bound, by the smallest thread stack on which one call succeeds: a record
// of flat values fits in Python's smallest thread stack, 36 KiB with the
// interpreter's own frames, and a field holding 64 nested lists needs 16 KiB
// more in the RelWithDebInfo build, 128 to 220 KiB more under AddressSanitizer
// (log, the console line and the conversion debug functions the most).
//
// Interpreter lock held; one per entry, on the entry's own stack.
#pragma once

#include <cstddef>

#include "core/base/thread_stack.h"
#include "py/glue/entry.h"
#include "py/glue/interpreter_exit.h"
#include "py/glue/python.h"

namespace vorlisk::py {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr size_t kStackMargin = 512 * 1024;
#else
inline constexpr size_t kStackMargin = 64 * 1024;
#endif

// Sets RecursionError for an entry or a conversion step that found the
// stack short.
void set_stack_short_error();

class RecursionGuard {
 public:
  RecursionGuard() noexcept {
    if (stack_short(thread_stack_floor(), VORLISK_FRAME_ADDRESS(), kStackMargin)) {
      set_stack_short_error();
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
