#include "core/render/byte_scan.h"

#include <gtest/gtest.h>

#include <string>

#include "core/render/json_string.h"

namespace vorlisk {
namespace {

constexpr uint64_t json_escaped(uint64_t word) {
  using namespace byte_scan;
  return below(word, 0x20) | equal_to(word, '"') | equal_to(word, '\\');
}

constexpr uint64_t unprintable(uint64_t word) {
  return byte_scan::below(word, 0x20) | byte_scan::del_or_high(word);
}

// The bytes that make a nested console key quoted.
constexpr uint64_t breaks_nested_key(uint64_t word) {
  return byte_scan::below_or_equal_to(word, 0x21, '"', '=', '\\', ',', ':', '{', '}') | byte_scan::del_or_high(word);
}

struct ScanCase {
  const char* name;
  uint64_t (*flags)(uint64_t);
  std::string plain;    // bytes never flagged, next to the class boundaries
  std::string flagged;  // bytes always flagged
};

class FirstFlagged : public ::testing::TestWithParam<ScanCase> {};

// Every text length across the word, two-word and short-load paths, every
// position of the first flagged byte, and a second flagged byte after it
// (which must not move the answer). store_unflagged copies exactly the
// plain texts.
TEST_P(FirstFlagged, FindsTheFirstFlaggedByteAtEveryPosition) {
  const ScanCase& c = GetParam();
  for (size_t length = 0; length <= 40; ++length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text.push_back(c.plain[i % c.plain.size()]);
    ASSERT_EQ(byte_scan::first_flagged(text, c.flags), length) << "plain, length " << length;
    std::string stored(length + 8, '-');
    ASSERT_TRUE(byte_scan::store_unflagged(text, stored.data(), c.flags)) << "plain, length " << length;
    ASSERT_EQ(stored.substr(0, length), text);
    for (size_t at = 0; at < length; ++at) {
      for (const char flagged : c.flagged) {
        std::string marked = text;
        marked[at] = flagged;
        if (at + 1 < length) marked[length - 1] = c.flagged[0];
        ASSERT_EQ(byte_scan::first_flagged(marked, c.flags), at)
            << "length " << length << " at " << at << " byte " << int(static_cast<unsigned char>(flagged));
        std::string single = text;  // the one flagged byte
        single[at] = flagged;
        ASSERT_FALSE(byte_scan::store_unflagged(single, stored.data(), c.flags))
            << "length " << length << " at " << at;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, FirstFlagged,
    ::testing::Values(ScanCase{"Json", json_escaped, std::string("\x20!#[]~\x7F\x80\xFF/a", 11),
                               std::string("\x00\x01\x1F\"\\", 5)},
                      ScanCase{"JsonWriter", needs_json_escape, std::string("\x20!#[]~\x7F\x80\xFF/a", 11),
                               std::string("\x00\x01\x1F\"\\", 5)},
                      ScanCase{"NestedKey", breaks_nested_key, std::string("!#<>[]|~+-;9zA_", 15),
                               std::string("\x00\x20\"=\\,:{}\x7F\x80\xFF", 13)},
                      ScanCase{"Printable", unprintable, "\x20!\"#\\~Za",
                               std::string("\x00\x1F\x7F\x80\xC3\xFF", 6)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorlisk
