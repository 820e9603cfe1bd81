#include "py/glue/interpreter_exit.h"

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

thread_local bool t_finalizes = false;

}  // namespace

bool interpreter_finalizing() { return g_query != nullptr && g_query() != 0; }

void note_exit_begins() {
  t_finalizes = true;
  detail::g_exit_begun.store(true, std::memory_order_relaxed);
}

namespace detail {

// Until finalization begins no thread is ended; once it has, only the
// finalizing thread holds the interpreter lock: every other one that asks
// for it is ended, and one that held it when finalization began had given
// it up for the finalizing thread to take it.
bool may_touch_interpreter_after_exit_began() { return t_finalizes || !interpreter_finalizing(); }

}  // namespace detail
}  // namespace vorlisk::py
