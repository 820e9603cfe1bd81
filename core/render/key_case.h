// Case mapping for the sensitive-key tests: the full Unicode lower-case
// mapping (one character may become several, and a capital sigma follows
// the Final_Sigma rule), the way Python's str.lower reads it.
//
// Pure functions over read-only tables; safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace vorlisk {

// The full Unicode lower-case form of UTF-8 text. Text that is not valid
// UTF-8 is returned unchanged.
std::string unicode_lowercase(std::string_view text);

}  // namespace vorlisk
