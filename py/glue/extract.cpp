#include "py/glue/extract.h"

#include <algorithm>
#include <string>

#include "py/glue/py_ref.h"

namespace vorlisk::py {
namespace {

// Sequences may report any length (a lazy sequence, range(10**15)); the
// length only sizes the first allocation, iteration decides the rest.
constexpr Py_ssize_t kMaxSequencePresize = 256;

bool fail_with_note(const char* name) {
  add_argument_note(name);
  return false;
}

bool mismatch(PyObject* arg, const char* expected, const char* name) {
  raise_type_mismatch(arg, expected);
  return fail_with_note(name);
}

// Whether `type` is numpy's boolean scalar type (numpy.bool_ / numpy.bool).
bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  PyRef type_name = PyRef::steal(PyType_GetName(type));
  if (!type_name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0;
}

bool numpy_bool_value(PyObject* arg, const char* name, bool* out) {
  PyTypeObject* type = Py_TYPE(arg);
  PyRef method = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_with_note(name);
    PyErr_Clear();
    PyRef qualname = PyRef::steal(PyType_GetQualName(type));
    if (!qualname) return fail_with_note(name);
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 qualname.get());
    return fail_with_note(name);
  }
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), arg, nullptr));
  if (!result) return fail_with_note(name);
  if (!PyBool_Check(result.get())) return mismatch(result.get(), "bool", name);
  *out = result.get() == Py_True;
  return true;
}

}  // namespace

void raise_type_mismatch(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'",
                 expected);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
}

void raise_value_error(std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(),
                                                 static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

void add_argument_note(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
    PyRef result;
    if (note) result = PyRef::steal(PyObject_CallMethod(value, "add_note", "O", note.get()));
    if (!result) PyErr_Clear();  // no add_note: the exception goes without the note
  }
  PyErr_Restore(type, value, traceback);
}

bool extract_text_object(PyObject* arg, const char* name, PyObject** out) {
  if (!PyUnicode_Check(arg)) return mismatch(arg, "str", name);
  *out = arg;
  return true;
}

bool extract_strict_text(PyObject* arg, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(arg)) return mismatch(arg, "str", name);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
  if (text == nullptr) return fail_with_note(name);
  *out = std::string_view(text, static_cast<size_t>(size));
  return true;
}

bool extract_bool(PyObject* arg, const char* name, bool* out) {
  if (arg == Py_True || arg == Py_False) {
    *out = arg == Py_True;
    return true;
  }
  if (arg != Py_None && is_numpy_bool_type(Py_TYPE(arg))) return numpy_bool_value(arg, name, out);
  return mismatch(arg, "bool", name);
}

bool extract_dict(PyObject* arg, const char* name, PyObject** out) {
  if (!PyDict_Check(arg)) return mismatch(arg, "dict", name);
  *out = arg;
  return true;
}

namespace {

// Walks a sequence argument (anything but a str that passes the sequence
// check), handing each item to `take`, which returns false with the error
// set to stop. `out` is cleared and pre-sized from the reported length.
template <class Item, class Take>
bool for_each_sequence_item(PyObject* arg, const char* name, std::vector<Item>* out, Take&& take) {
  if (PyUnicode_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return fail_with_note(name);
  }
  if (!PySequence_Check(arg)) return mismatch(arg, "Sequence", name);
  const Py_ssize_t reported = PyObject_Size(arg);
  if (reported < 0) PyErr_Clear();
  out->clear();
  out->reserve(static_cast<size_t>(std::clamp<Py_ssize_t>(reported, 0, kMaxSequencePresize)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(arg));
  if (!iterator) return fail_with_note(name);
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!take(std::move(item))) return fail_with_note(name);
  }
  if (PyErr_Occurred()) return fail_with_note(name);
  return true;
}

}  // namespace

bool extract_text_sequence(PyObject* arg, const char* name, std::vector<std::string>* out) {
  return for_each_sequence_item(arg, name, out, [&](PyRef item) {
    if (!PyUnicode_Check(item.get())) {
      raise_type_mismatch(item.get(), "str");
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (text == nullptr) return false;
    out->emplace_back(text, static_cast<size_t>(size));
    return true;
  });
}

bool extract_object_sequence(PyObject* arg, const char* name, std::vector<PyRef>* out) {
  return for_each_sequence_item(arg, name, out, [&](PyRef item) {
    out->push_back(std::move(item));
    return true;
  });
}

bool extract_double(PyObject* arg, const char* name, double* out) {
  const double value = PyFloat_AsDouble(arg);
  if (value == -1.0 && PyErr_Occurred()) return fail_with_note(name);
  *out = value;
  return true;
}

// The interpreter's C long conversion, for its own messages ("Python int
// too large to convert to C long"); a long is 64 bits on the platforms built
// for.
static_assert(sizeof(long) == sizeof(int64_t), "the signed integer kind needs a 64-bit long");

bool extract_int64(PyObject* arg, const char* name, int64_t* out) {
  const long value = PyLong_AsLong(arg);
  if (value == -1 && PyErr_Occurred()) return fail_with_note(name);
  *out = value;
  return true;
}

bool extract_uint64(PyObject* arg, const char* name, uint64_t* out) {
  PyRef index;
  PyObject* number = arg;
  if (!PyLong_Check(arg)) {
    index = PyRef::steal(PyNumber_Index(arg));
    if (!index) return fail_with_note(name);
    number = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(number);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return fail_with_note(name);
  }
  *out = value;
  return true;
}

bool extract_exception(PyObject* arg, const char* name, PyObject** out) {
  if (!PyExceptionInstance_Check(arg)) return mismatch(arg, "BaseException", name);
  *out = arg;
  return true;
}

bool extract_instance(PyObject* arg, PyTypeObject* type, const char* type_name, const char* name,
                      PyObject** out) {
  if (!PyObject_TypeCheck(arg, type)) return mismatch(arg, type_name, name);
  *out = arg;
  return true;
}

}  // namespace vorlisk::py
