#include "py/conversion/text.h"

#include <string_view>

#include "core/base/utf8.h"
#include "py/glue/py_ref.h"

namespace vorlisk::py {
namespace {

bool bytes_view(PyObject* bytes, std::string_view* out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(bytes) || PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return false;
  *out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

}  // namespace

std::string py_str_to_utf8(PyObject* s) {
  Py_ssize_t size = 0;
  if (const char* text = PyUnicode_AsUTF8AndSize(s, &size)) {
    return std::string(text, static_cast<size_t>(size));
  }
  PyErr_Clear();
  return decode_surrogates_lossy(s);
}

StrText::StrText(PyObject* s) {
  Py_ssize_t size = 0;
  if (const char* text = PyUnicode_AsUTF8AndSize(s, &size)) {
    view_ = std::string_view(text, static_cast<size_t>(size));
    return;
  }
  PyErr_Clear();
  repaired_ = decode_surrogates_lossy(s);
  view_ = repaired_;
}

std::string decode_surrogates_lossy(PyObject* s) {
  // The C-level encoder, never a subclass's own encode().
  PyRef utf16 = PyRef::steal(PyUnicode_AsEncodedString(s, "utf-16-le", "surrogatepass"));
  std::string_view bytes;
  if (utf16 && bytes_view(utf16.get(), &bytes)) return utf16le_to_utf8_lossy(bytes);
  PyErr_Clear();
  PyRef utf8 = PyRef::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  if (utf8 && bytes_view(utf8.get(), &bytes)) return surrogate_utf8_to_utf8_lossy(bytes);
  PyErr_Clear();
  return std::string();
}

std::string py_type_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return "unknown";
  }
  return py_str_to_utf8(name.get());
}

}  // namespace vorlisk::py
