#include "core/render/key_case.h"

#include <algorithm>
#include <cstdint>

#include "core/base/utf8.h"
#include "core/render/lowercase_table.h"

namespace vorlisk {
namespace {

namespace table = lowercase_table;

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool in_ranges(const table::Range* ranges, size_t count, char32_t cp) {
  const table::Range* end = ranges + count;
  const table::Range* it =
      std::upper_bound(ranges, end, cp, [](char32_t c, const table::Range& r) { return c < r.first; });
  return it != ranges && cp <= (it - 1)->last;
}

bool is_case_ignorable(char32_t cp) {
  return in_ranges(table::kCaseIgnorable, table::kCaseIgnorableCount, cp);
}
bool is_cased(char32_t cp) { return in_ranges(table::kCased, table::kCasedCount, cp); }

// Final_Sigma: a cased character before the sigma (case-ignorable ones in
// between are skipped) and none after it.
bool is_final_sigma(const std::u32string& text, size_t i) {
  size_t j = i;
  while (j > 0 && is_case_ignorable(text[j - 1])) --j;
  if (j == 0 || !is_cased(text[j - 1])) return false;
  size_t k = i + 1;
  while (k < text.size() && is_case_ignorable(text[k])) ++k;
  return k == text.size() || !is_cased(text[k]);
}

void append_lower(std::string& out, char32_t cp) {
  const table::Mapping* end = table::kMappings + table::kMappingCount;
  const table::Mapping* it = std::lower_bound(
      table::kMappings, end, cp, [](const table::Mapping& m, char32_t c) { return m.code_point < c; });
  if (it == end || it->code_point != cp) {
    append_utf8(out, cp);
    return;
  }
  for (uint8_t i = 0; i < it->length; ++i) append_utf8(out, it->lower[i]);
}

}  // namespace

std::string unicode_lowercase(std::string_view text) {
  if (!is_valid_utf8(text)) return std::string(text);
  std::u32string chars;
  chars.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) chars.push_back(decode_utf8_at(text, pos));
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < chars.size(); ++i) {
    const char32_t cp = chars[i];
    if (cp < 0x80) {
      out.push_back(ascii_lower(static_cast<char>(cp)));
    } else if (cp == kCapitalSigma) {
      append_utf8(out, is_final_sigma(chars, i) ? kFinalSigma : kSmallSigma);
    } else {
      append_lower(out, cp);
    }
  }
  return out;
}

}  // namespace vorlisk
