// Every match of an RE2 program over a text, with its groups, taken as
// value patterns take them: left to right, each search from the end of the
// previous match, an empty match right there skipped. For the pattern
// tests that hold the parser's RE2 forms to RE2 itself.
#pragma once

#include <re2/re2.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorlisk::testing_support {

// The options the linear engine compiles with.
inline RE2::Options re2_options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingUTF8);
  options.set_log_errors(false);
  options.set_max_mem(int64_t{10} * 1024 * 1024 * 3 / 2);
  return options;
}

inline std::unique_ptr<RE2> compile_re2(std::string_view pattern) {
  return std::make_unique<RE2>(re2::StringPiece(pattern.data(), pattern.size()), re2_options());
}

inline size_t next_character(std::string_view text, size_t pos) {
  ++pos;
  while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
  return pos;
}

// Calls on_match(groups) for each match; groups[0] is the whole match.
template <class OnMatch>
void for_each_match(const RE2& re, std::string_view text, OnMatch on_match) {
  const int groups = re.NumberOfCapturingGroups() + 1;
  std::vector<re2::StringPiece> found(static_cast<size_t>(groups));
  const re2::StringPiece subject(text.data(), text.size());
  size_t from = 0;
  size_t last_end = std::string_view::npos;
  while (from <= text.size() && re.Match(subject, from, text.size(), RE2::UNANCHORED, found.data(), groups)) {
    const auto start = static_cast<size_t>(found[0].data() - text.data());
    const size_t end = start + found[0].size();
    from = end;
    if (start == end) {
      from = next_character(text, start);
      if (end == last_end) continue;
    }
    last_end = end;
    on_match(found);
  }
}

// "[start,end)" per match, then "{start,end}" or "{-}" per group.
inline std::string re2_matches(const RE2& re, std::string_view text) {
  std::string out;
  for_each_match(re, text, [&](const std::vector<re2::StringPiece>& found) {
    for (size_t g = 0; g < found.size(); ++g) {
      const re2::StringPiece& piece = found[g];
      const char* open = g == 0 ? "[" : "{";
      const char* close = g == 0 ? ")" : "}";
      if (piece.data() == nullptr) {
        out += std::string(open) + "-" + close;
        continue;
      }
      const auto begin = static_cast<size_t>(piece.data() - text.data());
      out += open + std::to_string(begin) + "," + std::to_string(begin + piece.size()) + close;
    }
    out += ' ';
  });
  return out;
}

// `text` with every match replaced by `replacement`.
inline std::string re2_replaced(const RE2& re, std::string_view text, std::string_view replacement = "#") {
  std::string out;
  size_t copied = 0;
  for_each_match(re, text, [&](const std::vector<re2::StringPiece>& found) {
    const auto start = static_cast<size_t>(found[0].data() - text.data());
    out.append(text.substr(copied, start - copied));
    out.append(replacement);
    copied = start + found[0].size();
  });
  return out.append(text.substr(copied));
}

}  // namespace vorlisk::testing_support
