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
#include <cstdint>
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
    copy(data_ + used_, text, count);
    used_ += count;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void append(const char* first, const char* last) {
    append(first, static_cast<size_t>(last - first));
  }

  // For writers that store whole words: room for `count` more bytes at the
  // returned cursor, written there directly and then kept by commit(end),
  // `end` being one past the last byte kept. Bytes stored past `end` are
  // not part of the text.
  char* room(size_t count) {
    if (capacity_ - used_ < count) grow(count);
    return data_ + used_;
  }
  void commit(char* end) { used_ = static_cast<size_t>(end - data_); }

 private:
  // Most pieces are a few bytes long: copied inline by fixed-size moves
  // (overlapping, within both ends) instead of a call to memcpy.
  static void copy(char* to, const char* from, size_t count) {
    if (count >= 8 && count <= 16) {
      move8(to, from);
      move8(to + count - 8, from + count - 8);
    } else if (count >= 4 && count < 8) {
      move4(to, from);
      move4(to + count - 4, from + count - 4);
    } else if (count > 16) {
      std::memcpy(to, from, count);
    } else {
      for (size_t i = 0; i < count; ++i) to[i] = from[i];
    }
  }
  static void move8(char* to, const char* from) {
    uint64_t word;
    std::memcpy(&word, from, 8);
    std::memcpy(to, &word, 8);
  }
  static void move4(char* to, const char* from) {
    uint32_t word;
    std::memcpy(&word, from, 4);
    std::memcpy(to, &word, 4);
  }

  // Out of line: the appends that never grow stay small.
  void grow(size_t needed);
  void refresh() {
    data_ = out_.data();
    capacity_ = out_.size();
  }

  std::string& out_;
  size_t used_;
  char* data_ = nullptr;
  size_t capacity_ = 0;
};

// The capacity a thread's next rendered line starts with: at least 128
// bytes, else room for the last line it rendered (and a newline, and the
// slack of the word stores). The lines
// of one thread are usually alike, so most are written without growing.
// Plain per-thread data: no destructor, valid in a child after fork().
size_t line_capacity_hint();
void note_line_length(size_t length);

// An empty string for the thread's next line, with room for
// line_capacity_hint() bytes: the thread's spare buffer (spare_line.h) when
// it has one.
std::string new_line_buffer();

}  // namespace vorlisk
