#include "py/dispatch/warn.h"

#include <string>

#include "py/glue/python.h"

namespace vorlisk::py {

void warn(std::string_view message, int stack_level) {
  std::string text;
  text.reserve(message.size());
  for (char c : message) {
    if (c == '\0') {
      text += "\\0";
    } else {
      text += c;
    }
  }
  if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), stack_level) == 0) return;
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace vorlisk::py
