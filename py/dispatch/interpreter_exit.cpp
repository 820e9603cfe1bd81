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

}  // namespace

bool interpreter_finalizing() {
  static const FinalizingQuery query = find_query();
  return query != nullptr && query() != 0;
}

}  // namespace vorlisk::py
