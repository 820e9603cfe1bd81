#include "py/conversion/merge.h"

#include <string>
#include <string_view>
#include <unordered_set>

#include "core/base/siphash.h"
#include "py/conversion/convert.h"
#include "py/conversion/text.h"
#include "py/glue/entry.h"

namespace vorlisk::py {
namespace {

// PyDict_Next with the interpreter's own guard against a dict that changes
// under the walk, and strong references to what it hands out: the caller
// runs user code (a key's __hash__) between steps.
class CheckedDictWalk {
 public:
  explicit CheckedDictWalk(PyObject* dict) : dict_(dict), size_(PyDict_Size(dict)) {}

  bool next(PyRef& key, PyRef& value) {
    if (PyDict_Size(dict_) != size_) throw InternalError("dictionary changed size during iteration");
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    if (!PyDict_Next(dict_, &pos_, &borrowed_key, &borrowed_value)) return false;
    if (++returned_ > size_) throw InternalError("dictionary keys changed during iteration");
    key = PyRef::borrow(borrowed_key);
    value = PyRef::borrow(borrowed_value);
    return true;
  }

 private:
  PyObject* dict_;
  Py_ssize_t size_;
  Py_ssize_t pos_ = 0;
  Py_ssize_t returned_ = 0;
};

bool all_keys_plain(PyObject* dict) {
  CheckedDictWalk walk(dict);
  PyRef key, value;
  while (walk.next(key, value)) {
    if (!is_plain_key(key.get())) return false;
  }
  return true;
}

using KeyTextSet = std::unordered_set<std::string, KeyedTextHash, std::equal_to<>>;

KeyTextSet str_key_texts(PyObject* dict) {
  KeyTextSet texts;
  CheckedDictWalk walk(dict);
  PyRef key, value;
  while (walk.next(key, value)) {
    if (PyUnicode_Check(key.get())) texts.insert(py_str_to_utf8(key.get()));
  }
  return texts;
}

}  // namespace

bool is_skipped_kwargs_key(PyObject* key) {
  if (!PyUnicode_Check(key)) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  const std::string_view name(text, static_cast<size_t>(size));
  return name == "exc_info" || name == "stack_info";
}

PyRef merge_field_dicts(PyObject* bound, PyObject* kwargs, PyObject* contextvars) {
  PyRef merged = PyRef::steal(PyDict_Copy(bound));
  if (!merged) return PyRef();

  {
    CheckedDictWalk walk(kwargs);
    PyRef key, value;
    while (walk.next(key, value)) {
      if (is_skipped_kwargs_key(key.get())) continue;
      if (PyDict_SetItem(merged.get(), key.get(), value.get()) < 0) return PyRef();
    }
  }

  if (PyDict_Size(contextvars) == 0) return merged;

  const bool by_text = !all_keys_plain(merged.get()) || !all_keys_plain(contextvars);
  KeyTextSet earlier_texts;
  if (by_text) earlier_texts = str_key_texts(merged.get());

  CheckedDictWalk walk(contextvars);
  PyRef key, value;
  while (walk.next(key, value)) {
    const int present = PyDict_Contains(merged.get(), key.get());
    if (present < 0) return PyRef();
    if (present == 1) continue;
    if (by_text && PyUnicode_Check(key.get()) &&
        earlier_texts.contains(py_str_to_utf8(key.get()))) {
      continue;
    }
    if (PyDict_SetItem(merged.get(), key.get(), value.get()) < 0) return PyRef();
  }
  return merged;
}

}  // namespace vorlisk::py
