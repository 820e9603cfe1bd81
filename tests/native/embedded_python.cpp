#include "tests/native/embedded_python.h"

#include <gtest/gtest.h>

#include "py/conversion/text.h"

namespace vorlisk::py::testing {
namespace {

PyObject* g_namespace = nullptr;
std::string g_last_notes;

PyRef run(const std::string& code, int start) {
  PyRef compiled = PyRef::steal(Py_CompileString(code.c_str(), "<test>", start));
  if (!compiled) return PyRef();
  return PyRef::steal(PyEval_EvalCode(compiled.get(), g_namespace, g_namespace));
}

}  // namespace

PyRef eval(const std::string& expression) { return run(expression, Py_eval_input); }

bool exec(const std::string& statements) { return static_cast<bool>(run(statements, Py_file_input)); }

void bind(const char* name, PyObject* value) { PyDict_SetItemString(g_namespace, name, value); }

std::string take_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return "";
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type), value_ref = PyRef::steal(value),
        traceback_ref = PyRef::steal(traceback);
  std::string text = py_type_name(reinterpret_cast<PyTypeObject*>(type)) + ": ";
  PyRef message = PyRef::steal(PyObject_Str(value));
  text += message ? py_str_to_utf8(message.get()) : "<unprintable>";
  g_last_notes.clear();
  PyRef notes = PyRef::steal(PyObject_GetAttrString(value, "__notes__"));
  if (!notes) {
    PyErr_Clear();
  } else {
    for (Py_ssize_t i = 0; i < PyList_Size(notes.get()); ++i) {
      if (i > 0) g_last_notes += "|";
      g_last_notes += py_str_to_utf8(PyList_GetItem(notes.get(), i));
    }
  }
  return text;
}

std::string take_error_notes() { return g_last_notes; }

}  // namespace vorlisk::py::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  vorlisk::py::testing::g_namespace = PyDict_New();
  PyDict_SetItemString(vorlisk::py::testing::g_namespace, "__builtins__", PyEval_GetBuiltins());
  const int result = RUN_ALL_TESTS();
  // The interpreter is left running: finalizing it would run the deferred
  // releases of tests that deliberately leave work behind.
  return result;
}
