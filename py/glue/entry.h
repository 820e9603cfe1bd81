// Entry bookkeeping shared by every Python-visible function, method, getter,
// constructor and slot of the extension (the wrappers in trampolines.h).
//
// Each entry, on the calling thread with the interpreter lock held:
//   1. counts itself in the thread's entry count (a negative count marks a
//      section where the interpreter must not be used: the process aborts);
//   2. applies the releases that native code deferred while it did not hold
//      the interpreter lock (deferred_release.h);
//   3. runs the body; a C++ exception that reaches the entry becomes the
//      panic exception ("pyo3_runtime.PanicException", a direct subclass of
//      BaseException) carrying the exception's message;
//   4. uncounts itself.
// If turning a failure into the panic exception itself fails, the process
// aborts with "uncaught panic at ffi boundary": nothing unwinds into C.
//
// Bodies signal an ordinary Python error by returning null (or -1) with the
// error set, and an internal failure by throwing (InternalError or any
// std::exception).
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "py/glue/python.h"

namespace vorlisk::py {

// An internal failure; reaches Python as the panic exception.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the extension keeps per thread, together, so that an entry finds it
// with one lookup of the thread's storage.
struct ThreadEntryState {
  static constexpr uintptr_t kFloorUnread = 1;

  // Entries active on this thread while it holds the interpreter lock.
  // Positive exactly while the thread runs extension code with the
  // interpreter lock held.
  int entry_count = 0;
  // The lowest address of the thread's stack (core/base/thread_stack.h),
  // read at its first use; 0 when unknown.
  uintptr_t stack_floor = kFloorUnread;
};
inline thread_local ThreadEntryState g_thread_entry_state;

inline int& thread_entry_count() { return g_thread_entry_state.entry_count; }
inline bool holds_interpreter_lock() { return thread_entry_count() > 0; }

// The thread's stack floor, read from the system on the thread's first use.
uintptr_t read_and_keep_stack_floor();
inline uintptr_t thread_stack_floor() {
  const uintptr_t floor = g_thread_entry_state.stack_floor;
  if (floor == ThreadEntryState::kFloorUnread) [[unlikely]] return read_and_keep_stack_floor();
  return floor;
}

// Marks the running __traverse__ slot: any entry meanwhile aborts.
inline constexpr int kTraverseEntryCount = -1;

// Writes `message` to standard error and aborts the process.
[[noreturn]] void abort_process(const char* message);

// The panic exception type, created on first use (interpreter lock held).
PyObject* panic_exception_type();

// Sets the panic exception for the exception being handled (call only from
// a catch block). Aborts when even that fails.
void set_panic_from_current_exception() noexcept;

class EntryScope {
 public:
  EntryScope();
  ~EntryScope() { --thread_entry_count(); }
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

// The handler that lets forced unwinding pass binds no object; UBSan's null
// check would take that for a null reference. Inlined, the function would
// take its caller's checks, so sanitizer builds keep it out of line.
#if defined(__SANITIZE_ADDRESS__)
#define VORLISK_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null"), noinline))
#else
#define VORLISK_PASSES_FORCED_UNWIND
#endif

// Runs `body` as one entry. `failure` is what the slot returns for an error
// (null, or -1). Forced unwinding (a thread ended by the runtime) passes.
template <class Result, class Body>
VORLISK_PASSES_FORCED_UNWIND Result guarded_entry(Result failure, Body&& body) {
  EntryScope scope;
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_panic_from_current_exception();
    return failure;
  }
}

// The same for deallocators, which cannot raise: the panic exception is
// written through the unraisable hook instead.
template <class Body>
VORLISK_PASSES_FORCED_UNWIND void guarded_teardown(Body&& body) {
  EntryScope scope;
  try {
    body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_panic_from_current_exception();
    PyErr_WriteUnraisable(nullptr);
  }
}

}  // namespace vorlisk::py
