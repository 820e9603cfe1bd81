// How much of a thread's native stack is left.
//
// Code that recurses into itself through user code (a value whose
// isoformat() renders a record again) cannot know from a count how deep it
// may go: a level's native frames depend on the data, the interpreter and
// the build, and a thread's stack may be 8 MiB or 256 KiB. So it asks the
// stack itself: read_thread_stack_floor() gives the lowest address the
// calling thread may use (pthread_getattr_np, which for the main thread also
// reads the process's stack limit), which callers read once per thread and
// keep; stack_short() is then a subtraction and a compare.
//
// A frame outside the thread's own stack (code running on a stack of its
// own making, as some coroutine libraries do) is never reported short: the
// answer is only "short" when the frame lies in the lowest `margin` bytes of
// the stack the thread was given. Where the floor cannot be read, nothing is
// ever reported short.
//
// Thread safety: read_thread_stack_floor() reads the calling thread's own
// attributes; stack_short() is a pure function.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlisk {

// The lowest address of the calling thread's stack, or 0 when unknown.
uintptr_t read_thread_stack_floor();

// True when `frame` (an address in the running code's frame) lies less than
// `margin` bytes above `floor`. A floor of 0 is never short.
inline bool stack_short(uintptr_t floor, uintptr_t frame, size_t margin) {
  // A frame below the floor wraps to a large distance: another stack.
  return frame - floor < margin && floor != 0;
}

// The address of the caller's frame, for stack_short().
#define VORLISK_FRAME_ADDRESS() reinterpret_cast<uintptr_t>(__builtin_frame_address(0))

}  // namespace vorlisk
