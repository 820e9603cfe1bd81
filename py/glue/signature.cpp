#include "py/glue/signature.h"

#include <cstring>
#include <string>
#include <vector>

namespace vorlisk::py {
namespace {

std::string callable_name(const SignatureView& sig) {
  std::string name;
  if (sig.owner != nullptr) {
    name += sig.owner;
    name += '.';
  }
  name += sig.function;
  name += "()";
  return name;
}

size_t positional_count(const SignatureView& sig) {
  size_t n = 0;
  while (n < sig.count && !sig.params[n].keyword_only) ++n;
  return n;
}

void raise_too_many_positional(const SignatureView& sig, Py_ssize_t given) {
  const size_t total = positional_count(sig);
  size_t required_count = 0;
  for (size_t i = 0; i < total; ++i) required_count += sig.params[i].required ? 1 : 0;
  std::string message = callable_name(sig) + " takes ";
  if (required_count == total) {
    message += std::to_string(total);
  } else {
    message += "from " + std::to_string(required_count) + " to " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string join_names(const std::vector<const char*>& names) {
  std::string joined;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) joined += ',';
      joined += (i + 1 == names.size()) ? " and " : " ";
    }
    joined += '\'';
    joined += names[i];
    joined += '\'';
  }
  return joined;
}

// Raises for the first kind (positional, then keyword) with missing
// required parameters. Returns false when one was raised.
bool check_missing(const SignatureView& sig, PyObject** out) {
  bool any_missing = false;
  for (size_t i = 0; i < sig.count; ++i) any_missing |= sig.params[i].required && out[i] == nullptr;
  if (!any_missing) return true;  // the common case builds no message
  for (const bool keyword_kind : {false, true}) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.count; ++i) {
      const Param& p = sig.params[i];
      if (p.keyword_only == keyword_kind && p.required && out[i] == nullptr) {
        missing.push_back(p.name);
      }
    }
    if (missing.empty()) continue;
    std::string message = callable_name(sig) + " missing " + std::to_string(missing.size()) +
                          " required " + (keyword_kind ? "keyword" : "positional") +
                          (missing.size() == 1 ? " argument: " : " arguments: ") +
                          join_names(missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  return true;
}

// Index of the parameter named `name` (exact match), or -1.
Py_ssize_t find_param(const SignatureView& sig, PyObject* name) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();  // a name no parameter can have
    return -1;
  }
  for (size_t i = 0; i < sig.count; ++i) {
    const char* param = sig.params[i].name;
    if (std::strlen(param) == static_cast<size_t>(size) && std::memcmp(param, text, size) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool bind_keyword(const SignatureView& sig, PyObject* name, PyObject* value, PyObject** out) {
  const Py_ssize_t index = find_param(sig, name);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 callable_name(sig).c_str(), name);
    return false;
  }
  if (out[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'",
                 callable_name(sig).c_str(), name);
    return false;
  }
  out[index] = value;
  return true;
}

bool bind_positional(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  for (size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (static_cast<size_t>(nargs) > positional_count(sig)) {
    raise_too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

}  // namespace

bool bind_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
  if (!bind_positional(sig, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool bind_tuple_and_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs,
                         PyObject** out) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  std::vector<PyObject*> positional(static_cast<size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) positional[i] = PyTuple_GetItem(args, i);
  if (!bind_positional(sig, positional.data(), nargs, out)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

}  // namespace vorlisk::py
