#include "py/dispatch/interpreter_exit.h"

#include <dlfcn.h>

#include <initializer_list>

namespace vorlisk::py {
namespace {

using FinalizingQuery = int (*)();

FinalizingQuery find_query() {
  for (const char* name : {"Py_IsFinalizing", "_Py_IsFinalizing"}) {
    if (void* symbol = dlsym(RTLD_DEFAULT, name)) return reinterpret_cast<FinalizingQuery>(symbol);
  }
  return nullptr;
}

// Looked up as the extension loads, not at the first question: a worker
// asks without the interpreter lock, and a first-use guard held by it at a
// fork would stay held in the child.
const FinalizingQuery g_query = find_query();

}  // namespace

bool interpreter_finalizing() { return g_query != nullptr && g_query() != 0; }

}  // namespace vorlisk::py
