// Reads the bytes a fuzzer hands over as a stream of small decisions, so
// that every target can build structured inputs the same way. Running out of
// bytes yields zeros, which every builder treats as "stop".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vorlisk::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  uint64_t u64() {
    uint64_t v = 0;
    const size_t n = size_ - pos_ < 8 ? size_ - pos_ : 8;
    std::memcpy(&v, data_ + pos_, n);
    pos_ += n;
    return v;
  }

  // Up to `max` raw bytes, the count taken from the stream.
  std::string bytes(size_t max) {
    size_t n = byte() % (max + 1);
    if (n > size_ - pos_) n = size_ - pos_;
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

  // Valid UTF-8 of up to `max_chars` code points, biased towards the ones
  // that need care: controls, quotes, backslashes, DEL, C1 controls,
  // bidirectional marks and 4-byte sequences.
  std::string utf8(size_t max_chars) {
    const size_t n = byte() % (max_chars + 1);
    std::string out;
    for (size_t i = 0; i < n && !empty(); ++i) append_code_point(out, code_point());
    return out;
  }

  static void append_code_point(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

 private:
  uint32_t code_point() {
    const uint8_t kind = byte();
    switch (kind % 8) {
      case 0:
      case 1:
      case 2:
        return byte() & 0x7F;  // ASCII, controls included
      case 3:
        return 0x80 + byte() % 0x80;  // C1 controls and Latin-1
      case 4: {
        static constexpr uint32_t kMarks[] = {0x061C, 0x200E, 0x200F, 0x2028, 0x2029, 0x202A,
                                              0x202E, 0x2066, 0x2069, 0x00A0, 0x3000, 0xFEFF};
        return kMarks[byte() % (sizeof kMarks / sizeof kMarks[0])];
      }
      default: {
        uint32_t cp = static_cast<uint32_t>(u64() % 0x110000);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;  // surrogates are not text
        return cp;
      }
    }
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace vorlisk::fuzz
