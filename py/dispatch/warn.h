// Reporting a dispatcher problem to Python without raising.
#pragma once

#include <string_view>

namespace vorlisk::py {

// Issues a UserWarning with `message` (a NUL byte written as "\0") at
// `stack_level`; when issuing fails (a filter turned it into an error), the
// error goes to sys.unraisablehook instead. Never leaves an exception set.
// Interpreter lock held.
void warn(std::string_view message, int stack_level);

}  // namespace vorlisk::py
