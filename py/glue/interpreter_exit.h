// The interpreter's exit, as the extension's threads meet it.
//
//   interpreter_finalizing()  whether finalization has begun, asked without
//                             the interpreter lock
//   note_exit_begins()        called by the exit handler, on the thread
//                             that goes on to finalize
//   may_touch_interpreter_in_destructor()
//                             false only on a thread the interpreter is
//                             ending
//
// A thread that asks for the interpreter lock once finalization has begun
// never gets it back: 3.11 to 3.13 end it with pthread_exit (later versions
// park it). The C runtime ends it by forced unwinding, which runs the
// destructors of every frame on its stack, ours included, on a thread that
// holds neither the lock nor a thread state. That can happen wherever such
// a thread takes the lock back: after a wait with the lock released, and
// wherever the Python code it calls is interrupted. Every destructor that
// touches the interpreter (references, recursion counts, error state) asks
// may_touch_interpreter_in_destructor() first and, on such a thread, leaves
// everything as it is: the process is ending, and what is left is the
// interpreter's to discard.
//
// The question costs one relaxed load until the exit handler has run; from
// then on, during the last moments of the process, it costs a call.
//
// interpreter_finalizing(): the limited API of 3.11 has no such query; the
// interpreter's own function is looked up as the extension loads
// (Py_IsFinalizing from 3.13 on, _Py_IsFinalizing before), in the same
// process-wide symbol scope that every other Python symbol of the extension
// resolves in. Where neither exists the answer is always false.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <atomic>

namespace vorlisk::py {

bool interpreter_finalizing();

// Marks the calling thread as the one that finalizes the interpreter and the
// exit as begun. Called by the exit handler, which the finalizing thread
// runs before finalization begins.
void note_exit_begins();

namespace detail {
inline std::atomic<bool> g_exit_begun{false};
bool may_touch_interpreter_after_exit_began();
}  // namespace detail

// False on a thread the interpreter is ending: one that is not finalizing
// while finalization is under way, which therefore holds no interpreter lock.
// Any other thread that runs a destructor of ours holds the lock.
inline bool may_touch_interpreter_in_destructor() {
  if (!detail::g_exit_begun.load(std::memory_order_relaxed)) [[likely]] return true;
  return detail::may_touch_interpreter_after_exit_began();
}

}  // namespace vorlisk::py
