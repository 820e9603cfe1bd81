#include "py/conversion/dict_snapshot.h"

#include "py/conversion/convert.h"
#include "py/glue/interpreter_exit.h"

namespace vorlisk::py {

DictSnapshot::DictSnapshot(PyObject* dict) {
  const Py_ssize_t reported = PyDict_Size(dict);
  const size_t capacity = reported > 0 ? static_cast<size_t>(reported) : 0;
  if (capacity > kInlineEntries) {
    spilled_.resize(capacity);
    data_ = spilled_.data();
  }
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  // No user code runs between PyDict_Size and the end of this walk, so the
  // dict holds exactly `capacity` entries.
  while (size_ < capacity && PyDict_Next(dict, &pos, &key, &value)) {
    Py_INCREF(key);
    Py_INCREF(value);
    data_[size_++] = Entry{key, value, nullptr, 0};
  }
}

bool DictSnapshot::read_plain_keys() {
  for (size_t i = 0; i < size_; ++i) {
    Entry& entry = data_[i];
    const std::optional<std::string_view> text = plain_key_text(entry.key);
    if (!text) return false;
    entry.key_data = text->data();
    entry.key_size = text->size();
  }
  return true;
}

DictSnapshot::~DictSnapshot() {
  if (!may_touch_interpreter_in_destructor()) return;
  for (size_t i = 0; i < size_; ++i) {
    Py_DECREF(data_[i].key);
    Py_DECREF(data_[i].value);
  }
}

}  // namespace vorlisk::py
