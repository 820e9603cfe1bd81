#include "py/glue/entry.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/base/thread_stack.h"
#include "py/glue/deferred_release.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when the native core fails internally.\n\n"
    "Like SystemExit it derives from BaseException, so that it is not swallowed\n"
    "by handlers written for ordinary errors.";

PyObject* g_panic_type = nullptr;  // created once, never released

std::string current_exception_message() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "native code failed with an unknown error";
  }
}

}  // namespace

void abort_process(const char* message) {
  // write(2) only: this may run where allocation or stdio is unsafe.
  const char prefix[] = "vorlisk: ";
  ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
  ignored = write(STDERR_FILENO, message, std::strlen(message));
  ignored = write(STDERR_FILENO, "\n", 1);
  (void)ignored;
  std::abort();
}

PyObject* panic_exception_type() {
  if (g_panic_type != nullptr) return g_panic_type;
  PyRef made = PyRef::steal(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                       PyExc_BaseException, nullptr));
  // Making a class may run user code that made the type meanwhile: the
  // first one made stays, as it may have been raised already.
  if (g_panic_type == nullptr) {
    g_panic_type = made.release();
  } else if (!made) {
    PyErr_Clear();
  }
  return g_panic_type;
}

void set_panic_from_current_exception() noexcept {
  try {
    const std::string message = current_exception_message();
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_process("uncaught panic at ffi boundary");
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (text == nullptr) abort_process("uncaught panic at ffi boundary");
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  } catch (...) {
    abort_process("uncaught panic at ffi boundary");
  }
}

uintptr_t read_and_keep_stack_floor() {
  return g_thread_entry_state.stack_floor = read_thread_stack_floor();
}

EntryScope::EntryScope() {
  int& count = thread_entry_count();
  if (count < 0) {
    if (count == kTraverseEntryCount) {
      abort_process(
          "Attaching a thread to the interpreter is prohibited while a __traverse__ "
          "implementation is running.");
    }
    abort_process("Attaching a thread to the interpreter is currently prohibited.");
  }
  ++count;
  drain_deferred_releases();
}

}  // namespace vorlisk::py
