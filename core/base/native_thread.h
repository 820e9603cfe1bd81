// POSIX threads for the workers: explicit stack sizes and names, and a body
// from which no C++ exception escapes.
//
// Thread safety: a NativeThread handle is owned by one holder at a time (the
// callers keep it under their own mutex); finished() may be read from any
// thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace vorlisk {

class NativeThread {
 public:
  NativeThread(NativeThread&& other) noexcept;
  NativeThread& operator=(NativeThread&& other) noexcept;
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;
  // Dropping a handle that was neither joined nor detached detaches it:
  // a thread is never killed and never waited for implicitly.
  ~NativeThread();

  // True once the body has returned (or unwound).
  bool finished() const;
  // Waits for the thread to end. Must not be called from the thread itself.
  void join();
  // Lets the thread run on unobserved.
  void detach();
  // Lets go of the handle without touching the thread: for a handle that
  // crossed fork(), whose thread does not exist in this process and whose
  // id the C runtime may have given to a new thread.
  void forget() { joinable_ = false; }

 private:
  friend std::variant<NativeThread, std::string> spawn_native_thread(
      std::function<void()> body, size_t stack_size, const char* name);
  NativeThread(pthread_t id, std::shared_ptr<std::atomic<bool>> finished)
      : id_(id), finished_(std::move(finished)), joinable_(true) {}

  pthread_t id_{};
  std::shared_ptr<std::atomic<bool>> finished_;
  bool joinable_ = false;
};

// Starts `body` on a new thread. `stack_size` 0 keeps the system default;
// `name` (may be null) is cut to the kernel's 15 bytes. On failure returns
// the system's error text ("<description> (os error <n>)").
//
// Exceptions thrown by `body` are swallowed, except the forced unwinding by
// which the C runtime ends a thread (pthread_exit, as the interpreter does
// to threads that try to run during its finalization): that one is let
// through, as it must be.
std::variant<NativeThread, std::string> spawn_native_thread(std::function<void()> body,
                                                            size_t stack_size,
                                                            const char* name);

}  // namespace vorlisk
