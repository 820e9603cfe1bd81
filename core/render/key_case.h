// Case-insensitive key comparison for the sensitive-key tests.
//
// Two ASCII texts compare by folding "A".."Z" onto "a".."z" only, without
// allocating. Anything else compares by the full Unicode lower-case mapping
// (one character may become several, and a capital sigma follows the
// Final_Sigma rule), the way Python's str.lower reads it.
//
// Pure functions over read-only tables; safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace vorlisk {

bool is_ascii(std::string_view text);

// Equal after folding ASCII letters "A".."Z" onto "a".."z"; every other
// byte compares exactly.
bool ascii_equal_ignoring_case(std::string_view a, std::string_view b);

// The full Unicode lower-case form of UTF-8 text. Text that is not valid
// UTF-8 is returned unchanged.
std::string unicode_lowercase(std::string_view text);

// One key compared against many candidates: ASCII folding when both are
// ASCII, else equal Unicode lower-case forms. A non-ASCII key is
// lower-cased once, on the first comparison that needs it; an ASCII
// candidate is then compared in place. Belongs to one thread.
class CaseInsensitiveKey {
 public:
  explicit CaseInsensitiveKey(std::string_view key) : key_(key), key_is_ascii_(is_ascii(key)) {}

  bool matches(std::string_view candidate);

 private:
  std::string_view key_;
  bool key_is_ascii_;
  bool lowered_ = false;
  std::string lowered_key_;
};

}  // namespace vorlisk
