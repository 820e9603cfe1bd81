// TextBuffer: appends to a std::string through a raw cursor.
//
// The writers append many small pieces (a quote, a comma, a key); through
// std::string each one pays a capacity check and an out-of-line call. A
// TextBuffer exposes the string's whole capacity once, writes into it
// directly, and gives the string its true length back when it goes away.
// Growth doubles, as std::string's does.
//
// While a TextBuffer is alive, the string it writes to must not be used in
// any other way. One thread at a time, like the string itself.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace vorlisk {

class TextBuffer {
 public:
  // Appends after `out`'s current contents.
  explicit TextBuffer(std::string& out) : out_(out), used_(out.size()) {
    out_.resize(out_.capacity());
    refresh();
  }
  ~TextBuffer() { out_.resize(used_); }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  size_t size() const { return used_; }

  void push_back(char c) {
    if (used_ == capacity_) grow(1);
    data_[used_++] = c;
  }
  void append(const char* text, size_t count) {
    if (capacity_ - used_ < count) grow(count);
    std::memcpy(data_ + used_, text, count);
    used_ += count;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void append(const char* first, const char* last) {
    append(first, static_cast<size_t>(last - first));
  }

 private:
  void grow(size_t needed) {
    size_t target = capacity_ * 2;
    if (target < used_ + needed) target = used_ + needed;
    if (target < 64) target = 64;
    out_.resize(target);
    refresh();
  }
  void refresh() {
    data_ = out_.data();
    capacity_ = out_.size();
  }

  std::string& out_;
  size_t used_;
  char* data_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace vorlisk
