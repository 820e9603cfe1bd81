#include "py/glue/recursion_guard.h"

namespace vorlisk::py {

void set_stack_short_error() {
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while rendering a record");
}

}  // namespace vorlisk::py
