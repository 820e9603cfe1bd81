// A dict's entries as they stand now, each key and value held by a strong
// reference, so that user code run while they are converted (a probe, an
// isoformat(), a __hash__) can change or empty the dict without freeing
// anything the walk still uses.
//
// Taking the snapshot runs no user code. Small dicts need no allocation.
// Interpreter lock held for the snapshot's whole life.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "py/glue/python.h"

namespace vorlisk::py {

class DictSnapshot {
 public:
  // Plain data, left uninitialised in the inline storage: a snapshot
  // costs nothing for the entries a dict does not have.
  struct Entry {
    PyObject* key;
    PyObject* value;
    const char* key_data;  // set by read_plain_keys
    size_t key_size;
    std::string_view key_text() const { return {key_data, key_size}; }
  };

  // `dict`: a dict or subclass; its own storage is read, whatever its
  // items() says.
  explicit DictSnapshot(PyObject* dict);
  ~DictSnapshot();
  DictSnapshot(const DictSnapshot&) = delete;
  DictSnapshot& operator=(const DictSnapshot&) = delete;

  // Whether every key is plain (exactly str, with a UTF-8 form, as
  // is_plain_key tells); their texts are then in the entries' key_text, read
  // once. A key without a UTF-8 form leaves no error set.
  bool read_plain_keys();

  // Whether a key's text is `key`; read_plain_keys must have succeeded.
  bool has_key(std::string_view key) const {
    for (const Entry& entry : *this) {
      if (entry.key_text() == key) return true;
    }
    return false;
  }

  size_t size() const { return size_; }
  const Entry& operator[](size_t i) const { return data_[i]; }
  const Entry* begin() const { return data_; }
  const Entry* end() const { return data_ + size_; }

 private:
  static constexpr size_t kInlineEntries = 8;
  std::array<Entry, kInlineEntries> inline_;
  std::vector<Entry> spilled_;
  Entry* data_ = inline_.data();
  size_t size_ = 0;
};

}  // namespace vorlisk::py
