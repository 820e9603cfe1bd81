#include "core/render/pattern_translation.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "core/base/utf8.h"
#include "core/render/unicode_sets.h"

namespace vorlisk {
namespace {

constexpr size_t kNone = std::string_view::npos;

std::string at(size_t pos) { return " at position " + std::to_string(pos); }

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The length of the UTF-8 character that starts with `lead`; 1 for a byte
// that starts none (the engine reports invalid UTF-8 itself).
size_t utf8_length(char lead) {
  const auto byte = static_cast<unsigned char>(lead);
  if (byte < 0xC0) return 1;
  if (byte < 0xE0) return 2;
  if (byte < 0xF0) return 3;
  return byte < 0xF8 ? 4 : 1;
}

void append_code_point(std::string& out, char32_t cp) {
  char buffer[16];
  const int length = std::snprintf(buffer, sizeof buffer, "\\x{%X}", static_cast<unsigned>(cp));
  out.append(buffer, static_cast<size_t>(length));
}

void append_ranges(std::string& out, std::span<const CodePointRange> ranges) {
  for (const CodePointRange& range : ranges) {
    append_code_point(out, range.first);
    if (range.last != range.first) {
      out.push_back('-');
      append_code_point(out, range.last);
    }
  }
}

constexpr std::string_view kEveryCharacter = "\\x{0}-\\x{D7FF}\\x{E000}-\\x{10FFFF}";

// A bracket class of `ranges`; one that matches nothing when there are none.
std::string class_text(std::span<const CodePointRange> ranges) {
  if (ranges.empty()) return "[^" + std::string(kEveryCharacter) + "]";
  std::string out = "[";
  append_ranges(out, ranges);
  out.push_back(']');
  return out;
}

uint16_t perl_set(char letter) {
  return (letter == 'd' || letter == 'D')   ? unicode_tables::kDigitSet
         : (letter == 's' || letter == 'S') ? unicode_tables::kSpaceSet
                                            : unicode_tables::kWordSet;
}

// PCRE2's own properties that make up a set, ready for a class; empty when
// it has none.
std::string engine_members(uint16_t set) {
  switch (set) {
    case unicode_tables::kWordSet:
      return "\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\p{Join_Control}";
    case unicode_tables::kDigitSet:
      return "\\p{Nd}";
    case unicode_tables::kSpaceSet:
      return "\\p{White_Space}";
    default: {
      const char* name = unicode_tables::kSets[set].engine_name;
      return name == nullptr ? std::string() : "\\p{" + std::string(name) + "}";
    }
  }
}

constexpr uint16_t kNoSet = UINT16_MAX;

// The POSIX classes are ASCII-only, whatever the engine's Unicode mode.
struct PosixClass {
  std::string_view name;
  size_t count;
  CodePointRange ranges[4];
};

constexpr PosixClass kPosixClasses[] = {
    {"alnum", 3, {{'0', '9'}, {'A', 'Z'}, {'a', 'z'}}},
    {"alpha", 2, {{'A', 'Z'}, {'a', 'z'}}},
    {"ascii", 1, {{0x00, 0x7F}}},
    {"blank", 2, {{'\t', '\t'}, {' ', ' '}}},
    {"cntrl", 2, {{0x00, 0x1F}, {0x7F, 0x7F}}},
    {"digit", 1, {{'0', '9'}}},
    {"graph", 1, {{'!', '~'}}},
    {"lower", 1, {{'a', 'z'}}},
    {"print", 1, {{' ', '~'}}},
    {"punct", 4, {{'!', '/'}, {':', '@'}, {'[', '`'}, {'{', '~'}}},
    {"space", 2, {{'\t', '\r'}, {' ', ' '}}},
    {"upper", 1, {{'A', 'Z'}}},
    {"word", 4, {{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}}},
    {"xdigit", 3, {{'0', '9'}, {'A', 'F'}, {'a', 'f'}}},
};

enum class Boundary { kWord, kNotWord, kStart, kEnd, kStartHalf, kEndHalf };

// PCRE2's form of a boundary: look-around at one character each side.
std::string lookaround(Boundary kind, const std::string& word) {
  const std::string before = "(?<=" + word + ")";
  const std::string not_before = "(?<!" + word + ")";
  const std::string after = "(?=" + word + ")";
  const std::string not_after = "(?!" + word + ")";
  switch (kind) {
    case Boundary::kWord:
      return "(?:" + before + not_after + "|" + not_before + after + ")";
    case Boundary::kNotWord:
      return "(?:" + before + after + "|" + not_before + not_after + ")";
    case Boundary::kStart:
      return "(?:" + not_before + after + ")";
    case Boundary::kEnd:
      return "(?:" + before + not_after + ")";
    case Boundary::kStartHalf:
      return "(?:" + not_before + ")";
    case Boundary::kEndHalf:
      return "(?:" + not_after + ")";
  }
  return "(?:)";
}

// One member of a bracket class, as read from the pattern.
struct ClassItem {
  enum Kind {
    kCharacter,  // one character (or an escape the engine reads), written as `text`
    kSet,        // the code points of `ranges`
    kCopy,       // anything else, copied unchanged
  };
  Kind kind = kCopy;
  size_t begin = 0;
  size_t end = 0;
  std::string text;
  std::vector<CodePointRange> ranges;
  uint16_t set = kNoSet;  // kSet: the generated set, negated or not, when it is one
  bool negated = false;
};

class Translator {
 public:
  Translator(std::string_view pattern, PatternDialect dialect,
             std::span<const CodePointRange> engine_unknown)
      : p_(pattern), dialect_(dialect), engine_unknown_(engine_unknown) {}

  Translation run() {
    while (i_ < p_.size()) {
      if (skip_ignored()) continue;
      switch (p_[i_]) {
        case '\\':
          escape();
          break;
        case '[':
          character_class();
          break;
        case '(':
          open_group();
          break;
        case ')':
          close_group();
          break;
        case '*':
        case '+':
        case '?':
          repetition(i_, i_ + 1, std::string(1, p_[i_]));
          break;
        case '{':
          brace();
          break;
        case '|':
          copy(i_, i_ + 1);
          ++i_;
          atom_ = kNone;
          break;
        default:
          literal();
          break;
      }
    }
    t_.source_size = p_.size();
    return std::move(t_);
  }

 private:
  struct Group {
    size_t offset;   // where its opening was written
    bool extended;   // the flags outside it
    bool caseless;
  };

  char peek(size_t pos) const { return pos < p_.size() ? p_[pos] : '\0'; }

  // ---- output ---------------------------------------------------------------

  void emit(std::string_view text, size_t begin, size_t end) {
    literal_run_ = false;
    if (text.empty()) return;
    const bool copied = text == p_.substr(begin, end - begin);
    t_.pieces.push_back({t_.text.size(), begin, end, copied});
    t_.text.append(text);
  }

  void copy(size_t begin, size_t end) { emit(p_.substr(begin, end - begin), begin, end); }

  // Plain characters in a row share one piece.
  void copy_literal(size_t begin, size_t end) {
    if (literal_run_ && t_.pieces.back().source_end == begin) {
      t_.pieces.back().source_end = end;
      t_.text.append(p_.substr(begin, end - begin));
    } else {
      copy(begin, end);
    }
    literal_run_ = true;
  }

  void refuse(std::string text) {
    if (!t_.refusal) t_.refusal = std::move(text);
  }

  // ---- white space and comments of extended mode -----------------------------

  // The length of the White_Space character at `pos`, or 0. Bytes that
  // are not a well-formed character are no space: they stay in the text
  // for the engine to report.
  size_t space_at(size_t pos) const {
    if (pos >= p_.size()) return 0;
    const std::string_view character = p_.substr(pos, utf8_length(p_[pos]));
    if (!is_valid_utf8(character)) return 0;
    size_t end = 0;
    const char32_t cp = decode_utf8_at(character, end);
    return contains(unicode_set(unicode_tables::kSpaceSet), cp) ? character.size() : 0;
  }

  // In extended mode, moves past the white space and comments at `pos`;
  // true when there were any.
  bool skip_ignored_at(size_t& pos) const {
    if (!extended_) return false;
    const size_t start = pos;
    while (pos < p_.size()) {
      if (p_[pos] == '#') {
        const size_t line_end = p_.find('\n', pos);
        pos = line_end == kNone ? p_.size() : line_end + 1;
      } else if (const size_t length = space_at(pos)) {
        pos += length;
      } else {
        break;
      }
    }
    return pos != start;
  }

  bool skip_ignored() { return skip_ignored_at(i_); }
  char peek_significant(size_t pos) const {
    skip_ignored_at(pos);
    return peek(pos);
  }

  // ---- atoms and repetitions --------------------------------------------------

  void begin_atom() {
    atom_ = t_.text.size();
    quantified_ = false;
  }

  void literal() {
    const size_t end = std::min(i_ + utf8_length(p_[i_]), p_.size());
    begin_atom();
    copy_literal(i_, end);
    i_ = end;
  }

  // A repetition operator spanning [begin, end) of the pattern, written as
  // `text`, with the "?" that makes it lazy when one follows.
  void repetition(size_t begin, size_t end, std::string text) {
    i_ = end;
    skip_ignored();
    if (peek(i_) == '?') {
      text.push_back('?');
      end = ++i_;
    }
    if (atom_ == kNone) {  // nothing to repeat: the engine reports it
      emit(text, begin, end);
      return;
    }
    if (quantified_) {  // a repetition of a repetition
      wrap_atom(begin);
    }
    emit(text, begin, end);
    quantified_ = true;
  }

  // Puts the last atom (with its repetition) in a group of its own.
  void wrap_atom(size_t source) {
    auto piece = std::upper_bound(t_.pieces.begin(), t_.pieces.end(), atom_,
                                  [](size_t offset, const Translation::Piece& p) { return offset < p.offset; });
    --piece;
    if (piece->offset < atom_) {  // the atom starts inside a run of plain characters
      const size_t cut = piece->source_begin + (atom_ - piece->offset);
      Translation::Piece tail{atom_, cut, piece->source_end, true};
      piece->source_end = cut;
      piece = t_.pieces.insert(piece + 1, tail);
    }
    constexpr std::string_view opening = "(?:";
    piece = t_.pieces.insert(piece, {atom_, piece->source_begin, piece->source_begin, false});
    for (++piece; piece != t_.pieces.end(); ++piece) piece->offset += opening.size();
    t_.text.insert(atom_, opening);
    emit(")", source, source);
  }

  // "{": a counted repetition, with white space allowed around its numbers
  // and "{,n}" for "{0,n}"; anything else is the character itself.
  void brace() {
    const size_t begin = i_;
    size_t j = i_ + 1;
    const auto skip_space = [&] {
      while (const size_t length = space_at(j)) j += length;
    };
    const auto digits = [&] {
      const size_t start = j;
      while (is_digit(peek(j))) ++j;
      return std::string(p_.substr(start, j - start));
    };
    skip_space();
    const std::string min = digits();
    skip_space();
    const bool comma = peek(j) == ',';
    std::string max;
    if (comma) {
      ++j;
      skip_space();
      max = digits();
      skip_space();
    }
    if (peek(j) == '}' && (!min.empty() || !max.empty())) {
      repetition(begin, j + 1, "{" + (min.empty() ? "0" : min) + (comma ? "," + max : "") + "}");
      return;
    }
    literal();
  }

  // ---- escapes ----------------------------------------------------------------

  // Where the escape at `at` ends when it is copied unchanged.
  size_t escape_end(size_t at) const {
    const char e = peek(at + 1);
    switch (e) {
      case '\0':
        if (at + 1 >= p_.size()) return p_.size();  // a trailing backslash
        break;
      case 'Q': {  // quoted run up to "\E": nothing in it is syntax
        const size_t end = p_.find("\\E", at + 2);
        return end == kNone ? p_.size() : end + 2;
      }
      case 'c':  // control escape: the next character is its argument
        return std::min(at + 3, p_.size());
      case 'x':
      case 'o':
      case 'p':
      case 'P':
      case 'N':
      case 'g':
      case 'k':
        if (peek(at + 2) == '{') {
          const size_t close = p_.find('}', at + 3);
          return close == kNone ? p_.size() : close + 1;
        }
        break;
      default:
        break;
    }
    return std::min(at + 1 + utf8_length(e), p_.size());
  }

  // \x.., \u...., \U........ or a braced form at `at`: the code point and
  // where the escape ends; nothing when it is malformed.
  std::optional<std::pair<char32_t, size_t>> code_point_escape(size_t at) const {
    const char e = peek(at + 1);
    size_t j = at + 2;
    std::string digits;
    if (peek(j) == '{') {
      ++j;
      while (j < p_.size() && p_[j] != '}') {
        if (skip_ignored_at(j)) continue;
        if (!is_hex_digit(p_[j])) return std::nullopt;
        digits.push_back(p_[j++]);
      }
      if (j >= p_.size() || digits.empty() || digits.size() > 8) return std::nullopt;
      ++j;
    } else {
      const size_t count = e == 'x' ? 2 : e == 'u' ? 4 : 8;
      for (size_t k = 0; k < count; ++k, ++j) {
        if (!is_hex_digit(peek(j))) return std::nullopt;
        digits.push_back(p_[j]);
      }
    }
    const unsigned long cp = std::stoul(digits, nullptr, 16);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    return std::pair(static_cast<char32_t>(cp), j);
  }

  // \p or \P at i_, moving past it: a set, or the escape copied when the
  // name is not one of ours (the engine reports it, or reads it its way).
  ClassItem property() {
    ClassItem item;
    item.begin = i_;
    const bool negated = p_[i_ + 1] == 'P';
    size_t j = i_ + 2;
    std::string_view name;
    if (peek(j) == '{') {
      const size_t close = p_.find('}', j + 1);
      if (close == kNone) {
        i_ = item.end = p_.size();
        return item;
      }
      name = p_.substr(j + 1, close - j - 1);
      j = close + 1;
    } else if (j < p_.size()) {
      const size_t length = std::min(utf8_length(p_[j]), p_.size() - j);
      name = p_.substr(j, length);
      j += length;
    }
    i_ = item.end = j;
    const std::optional<UnicodeProperty> found = name.empty() ? std::nullopt : find_unicode_property(name);
    if (!found) return item;
    return set_item(item.begin, found->set, negated != found->negated);
  }

  ClassItem set_item(size_t begin, uint16_t set, bool negated) {
    ClassItem item{ClassItem::kSet, begin, i_, {}, {}, set, negated};
    const std::span<const CodePointRange> ranges = unicode_set(set);
    item.ranges = negated ? complement(ranges) : std::vector<CodePointRange>(ranges.begin(), ranges.end());
    if (dialect_ == PatternDialect::kLinearAscii) {
      // Only the ASCII members can meet ASCII text; the program stays small.
      constexpr CodePointRange ascii[] = {{0, 0x7F}};
      item.ranges = intersection(item.ranges, ascii);
    }
    return item;
  }

  // PCRE2's own properties for a set item, plus what its tables lack;
  // empty when the item is to be written as ranges.
  std::string engine_form(const ClassItem& item) const {
    if (dialect_ != PatternDialect::kBacktracking || item.set == kNoSet) return {};
    const bool folds = item.set != unicode_tables::kWordSet && item.set != unicode_tables::kDigitSet &&
                       item.set != unicode_tables::kSpaceSet;
    if (caseless_ && folds) return {};  // the ranges, which PCRE2 case-folds
    std::string members = engine_members(item.set);
    if (members.empty()) return {};
    append_ranges(members, intersection(unicode_set(item.set), engine_unknown_));
    return members;
  }

  // A set item outside a class.
  std::string set_text(const ClassItem& item) const {
    const std::string members = engine_form(item);
    if (members.empty()) return class_text(item.ranges);
    return (item.negated ? "[^" : "[") + members + "]";
  }

  // The escapes that mean one character or one set alike inside and
  // outside a class; nothing for the others.
  std::optional<ClassItem> shared_escape() {
    const size_t begin = i_;
    const char e = peek(i_ + 1);
    switch (e) {
      case 'd':
      case 'D':
      case 'w':
      case 'W':
      case 's':
      case 'S':
        i_ += 2;
        return set_item(begin, perl_set(e), e >= 'A' && e <= 'Z');
      case 'p':
      case 'P':
        return property();
      case 'x':
      case 'u':
      case 'U':
        if (const auto escaped = code_point_escape(i_)) {
          i_ = escaped->second;
          ClassItem item{ClassItem::kCharacter, begin, i_, {}, {}};
          append_code_point(item.text, escaped->first);
          return item;
        }
        return std::nullopt;
      case 'v':  // the vertical tab; PCRE2 reads \v as a class
        i_ += 2;
        return ClassItem{ClassItem::kCharacter, begin, i_, "\\x{B}", {}};
      default:
        return std::nullopt;
    }
  }

  void escape() {
    const size_t begin = i_;
    const char e = peek(i_ + 1);
    if (std::optional<ClassItem> item = shared_escape()) {
      begin_atom();
      if (item->kind == ClassItem::kSet) {
        emit(set_text(*item), begin, item->end);
      } else if (item->kind == ClassItem::kCharacter) {
        emit(item->text, begin, item->end);
      } else {
        copy(begin, item->end);
      }
      return;
    }
    if (e == 'b' || e == 'B' || e == '<' || e == '>') {
      boundary();
      return;
    }
    if (e == 'C') {
      refuse("The escape \\C" + at(begin) +
             " matches a single byte, which can split a UTF-8 character; it is not supported in "
             "value patterns.");
    }
    const size_t end = escape_end(begin);
    if (e == 'Q') {
      atom_ = kNone;  // a repetition after it applies to its last character only
      copy(begin, end);
    } else {
      begin_atom();
      copy(begin, end);
    }
    i_ = end;
  }

  // \b, \B, \<, \> or \b{name} at i_.
  void boundary() {
    const size_t begin = i_;
    const char e = p_[i_ + 1];
    size_t end = i_ + 2;
    Boundary kind = e == 'B' ? Boundary::kNotWord : e == '<' ? Boundary::kStart
                             : e == '>'           ? Boundary::kEnd
                                                  : Boundary::kWord;
    if (e == 'b' && peek(end) == '{') {
      // \b{name}; a "{" that starts no name begins a repetition of \b.
      const auto is_name_char = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-'; };
      size_t j = end + 1;
      skip_ignored_at(j);
      if (is_name_char(peek(j))) {
        std::string name;
        while (is_name_char(peek(j))) {
          name.push_back(p_[j++]);
          skip_ignored_at(j);
        }
        const bool closed = peek(j) == '}';
        end = closed ? j + 1 : j;
        if (closed && name == "start") {
          kind = Boundary::kStart;
        } else if (closed && name == "end") {
          kind = Boundary::kEnd;
        } else if (closed && name == "start-half") {
          kind = Boundary::kStartHalf;
        } else if (closed && name == "end-half") {
          kind = Boundary::kEndHalf;
        } else {
          refuse("Unknown word boundary \"" + std::string(p_.substr(begin, end - begin)) + "\"" +
                 at(begin) +
                 "; the named ones are \\b{start}, \\b{end}, \\b{start-half} and \\b{end-half}.");
          begin_atom();
          copy(begin, end);
          i_ = end;
          return;
        }
      }
    }
    t_.has_boundary = true;
    const bool plain = kind == Boundary::kWord || kind == Boundary::kNotWord;
    if (!plain) t_.ascii_exact = false;
    begin_atom();
    switch (dialect_) {
      case PatternDialect::kLinear:
        emit("(?:)", begin, end);
        break;
      case PatternDialect::kLinearAscii:
        emit(!plain ? "(?:)" : kind == Boundary::kWord ? "\\b" : "\\B", begin, end);
        break;
      case PatternDialect::kBacktracking:
        if (word_class_.empty()) word_class_ = set_text(set_item(begin, unicode_tables::kWordSet, false));
        emit(lookaround(kind, word_class_), begin, end);
        break;
    }
    i_ = end;
  }

  // ---- character classes ------------------------------------------------------

  void character_class() {
    const size_t begin = i_;
    begin_atom();
    ++i_;
    skip_ignored();
    const bool negated = peek(i_) == '^';
    if (negated) {
      ++i_;
      skip_ignored();
    }
    emit(negated ? "[^" : "[", begin, i_);
    size_t written = 0;  // members written so far
    while (peek(i_) == '-') {
      emit("\\-", i_, i_ + 1);
      ++i_;
      ++written;
      skip_ignored();
    }
    if (written == 0 && peek(i_) == ']') {  // a "]" first in the class is itself
      copy(i_, i_ + 1);
      ++i_;
      ++written;
    }
    while (true) {
      skip_ignored();
      if (i_ >= p_.size()) return;  // unclosed: the engine reports it
      const char c = p_[i_];
      if (c == ']') {
        ++i_;
        if (written == 0) {  // only empty sets: no class can be written for that
          t_.text.resize(t_.pieces.back().offset);
          t_.pieces.pop_back();
          const std::vector<CodePointRange> none;
          emit(negated ? class_text(complement(none)) : class_text(none), begin, i_);
        } else {
          copy(i_ - 1, i_);
        }
        return;
      }
      if ((c == '&' || c == '-' || c == '~') && peek(i_ + 1) == c) {
        refuse(std::string("Character class set operation \"") + c + c + "\"" + at(i_) +
               " is not supported in value patterns; escape the characters to match them "
               "literally.");
        copy(i_, i_ + 2);
        i_ += 2;
        ++written;
        continue;
      }
      const ClassItem first = class_item();
      skip_ignored();
      const char after_dash = peek_significant(i_ + 1);
      if (peek(i_) == '-' && i_ + 1 < p_.size() && after_dash != ']' && after_dash != '-') {
        ++i_;
        skip_ignored();
        if (i_ >= p_.size()) return;
        const ClassItem last = class_item();
        if (first.kind == ClassItem::kSet || last.kind == ClassItem::kSet) {
          // The engines would read the "-" as itself.
          refuse("Character class range \"" + std::string(p_.substr(first.begin, last.end - first.begin)) +
                 "\"" + at(first.begin) +
                 " has a class at one end; escape the \"-\" to match it literally.");
          emit_member(first);
          emit("\\-", last.begin, last.begin);
          emit_member(last);
        } else {
          emit(first.text + "-" + last.text, first.begin, last.end);
        }
        ++written;
        continue;
      }
      if (emit_member(first)) ++written;
    }
  }

  // Writes one member of a class; false when it holds nothing.
  bool emit_member(const ClassItem& item) {
    if (item.kind != ClassItem::kSet) {
      emit(item.text, item.begin, item.end);
      return true;
    }
    std::string text = item.negated ? std::string() : engine_form(item);
    if (!text.empty()) {
      emit(text, item.begin, item.end);
      return true;
    }
    append_ranges(text, item.ranges);
    emit(text, item.begin, item.end);
    return !item.ranges.empty();
  }

  // One member of a class at i_, moving past it.
  ClassItem class_item() {
    const size_t begin = i_;
    const char c = p_[i_];
    if (c == '[') {
      if (std::optional<ClassItem> posix = posix_class()) return *posix;
      refuse("Nested character class" + at(i_) +
             " is not supported in value patterns; escape the \"[\" to match it literally.");
      ++i_;
      return {ClassItem::kCharacter, begin, i_, "[", {}};
    }
    if (c == '\\') {
      if (std::optional<ClassItem> item = shared_escape()) {
        if (item->kind == ClassItem::kCopy) item->text = p_.substr(begin, item->end - begin);
        return *item;
      }
      i_ = escape_end(begin);
      return {ClassItem::kCharacter, begin, i_, std::string(p_.substr(begin, i_ - begin)), {}};
    }
    i_ = std::min(i_ + utf8_length(c), p_.size());
    return {ClassItem::kCharacter, begin, i_, c == '-' ? "\\-" : std::string(p_.substr(begin, i_ - begin)),
            {}};
  }

  // "[:name:]" or "[:^name:]" at i_: a set for a known name, the text
  // copied for another name (the engine reports it); nothing when the "["
  // starts no such class.
  std::optional<ClassItem> posix_class() {
    if (peek(i_ + 1) != ':') return std::nullopt;
    const size_t colon = p_.find(':', i_ + 2);
    if (colon == kNone || peek(colon + 1) != ']') return std::nullopt;
    ClassItem item{ClassItem::kCopy, i_, colon + 2, std::string(p_.substr(i_, colon + 2 - i_)), {}};
    std::string_view name = p_.substr(i_ + 2, colon - i_ - 2);
    const bool negated = !name.empty() && name.front() == '^';
    if (negated) name.remove_prefix(1);
    i_ = item.end;
    for (const PosixClass& posix : kPosixClasses) {
      if (posix.name != name) continue;
      const std::span<const CodePointRange> ranges(posix.ranges, posix.count);
      item.kind = ClassItem::kSet;
      item.ranges = negated ? complement(ranges) : std::vector<CodePointRange>(ranges.begin(), ranges.end());
    }
    return item;
  }

  // ---- groups -------------------------------------------------------------------

  void open_group() {
    const size_t begin = i_;
    const char c1 = peek(i_ + 1);
    const char c2 = peek(i_ + 2);
    atom_ = kNone;
    if (c1 == '?' && c2 == '#') {  // comment (PCRE2)
      copy_through(')', i_ + 3);
      return;
    }
    if (c1 == '*' && !(c2 >= 'a' && c2 <= 'z')) {  // verb such as (*UTF) or (*MARK:x)
      copy_through(')', i_ + 2);
      return;
    }
    if (c1 == '?' && c2 == 'C') {
      callout();
      return;
    }
    if (c1 == '?' && c2 == '<' && peek(i_ + 3) != '=' && peek(i_ + 3) != '!') {
      const size_t close = p_.find('>', i_ + 3);
      if (close != kNone) {  // (?<name>: RE2 knows only (?P<name>
        push_group(begin);
        const std::string_view name = p_.substr(i_ + 3, close - i_ - 3);
        if (dialect_ == PatternDialect::kBacktracking) {
          copy(begin, close + 1);
        } else {
          emit("(?P<" + std::string(name) + ">", begin, close + 1);
        }
        i_ = close + 1;
        return;
      }
    }
    if (c1 == '?') {
      size_t j = i_ + 2;
      bool extended = extended_;
      bool caseless = caseless_;
      std::string kept;
      if (read_flags(j, extended, caseless, kept)) {
        const bool scoped = p_[j] == ':';
        if (scoped) {
          push_group(begin);
          emit("(?" + kept + ":", begin, j + 1);
        } else {  // applies to the rest of the enclosing group
          emit(kept.empty() ? "(?:)" : "(?" + kept + ")", begin, j + 1);
        }
        extended_ = extended;
        caseless_ = caseless;
        i_ = j + 1;
        return;
      }
      // Any other "(?" construct (look-around, backreference, ...) is the
      // engine's own.
      push_group(begin);
      copy(begin, i_ + 2);
      i_ += 2;
      return;
    }
    push_group(begin);
    copy(begin, i_ + 1);
    ++i_;
  }

  // Flag letters such as "i", "x-s" or "^x" from `j`: true when they end at
  // ")" or ":" (a flag setting), with `j` on that character, `extended` and
  // `caseless` as the flags leave them and `kept` the letters to write (all
  // but "x").
  bool read_flags(size_t& j, bool& extended, bool& caseless, std::string& kept) {
    bool on = true;
    bool result = extended;
    bool folds = caseless;
    std::optional<size_t> crlf;
    for (const size_t first = j; j < p_.size(); ++j) {
      const char c = p_[j];
      if ((c == ')' || c == ':') && j > first) {
        if (crlf) refuse("The flag R (CRLF mode)" + at(*crlf) + " is not supported in value patterns.");
        if (!kept.empty() && kept.back() == '-') kept.pop_back();
        extended = result;
        caseless = folds;
        return true;
      }
      if (c == '-') {
        on = false;
      } else if (c == '^') {
        result = false;
        folds = false;
      } else if (c == 'i') {
        folds = on;
      } else if (c == 'x') {
        result = on;
        continue;
      } else if (c == 'R') {
        if (!crlf) crlf = j;
      } else if (c != 'm' && c != 'n' && c != 's' && c != 'J' && c != 'U' && c != 'u') {
        return false;
      }
      kept.push_back(c);
    }
    return false;
  }

  // Copies from i_ through the first `c` at or after `from` (to the end
  // when there is none).
  void copy_through(char c, size_t from) {
    const size_t found = p_.find(c, from);
    const size_t end = found == kNone ? p_.size() : found + 1;
    copy(i_, end);
    i_ = end;
  }

  // "(?C" at i_: a numbered callout "(?C12)" or a string one "(?C'text')",
  // whose text may hold anything (a doubled delimiter stands for itself).
  void callout() {
    size_t j = i_ + 3;
    const char open = peek(j);
    const char close = open == '{' ? '}' : open;
    const std::string_view delimiters = "`'\"^%#${";
    if (open != '\0' && delimiters.find(open) != kNone) {
      for (++j; j < p_.size(); ++j) {
        if (p_[j] != close) continue;
        if (peek(j + 1) == close) {
          ++j;
          continue;
        }
        ++j;
        break;
      }
    }
    copy_through(')', j);
  }

  void push_group(size_t begin) {
    groups_.push_back({t_.text.size(), extended_, caseless_});
    if (groups_.size() > kPatternNestLimit) {
      refuse("Groups nest deeper than the limit of " + std::to_string(kPatternNestLimit) + " levels" +
             at(begin) + ".");
    }
  }

  void close_group() {
    copy(i_, i_ + 1);
    ++i_;
    if (groups_.empty()) {  // the engine reports it
      atom_ = kNone;
      return;
    }
    atom_ = groups_.back().offset;
    quantified_ = false;
    extended_ = groups_.back().extended;
    caseless_ = groups_.back().caseless;
    groups_.pop_back();
  }

  std::string_view p_;
  PatternDialect dialect_;
  std::span<const CodePointRange> engine_unknown_;
  size_t i_ = 0;
  Translation t_;
  bool extended_ = false;
  bool caseless_ = false;
  std::string word_class_;  // \w for look-around, once written
  std::vector<Group> groups_;
  size_t atom_ = kNone;      // where the last atom was written; kNone after "(", "|", ...
  bool quantified_ = false;  // whether it has a repetition
  bool literal_run_ = false;
};

}  // namespace

size_t Translation::source_offset(size_t offset) const {
  auto next = std::upper_bound(pieces.begin(), pieces.end(), offset,
                               [](size_t o, const Piece& piece) { return o < piece.offset; });
  if (offset >= text.size()) return source_size;  // past anything dropped at the end, too
  if (next == pieces.begin()) return 0;
  const Piece& piece = *std::prev(next);
  const size_t piece_end = next == pieces.end() ? text.size() : next->offset;
  if (offset >= piece_end) return piece.source_end;
  if (piece.copied) return piece.source_begin + (offset - piece.offset);
  return piece.source_begin;
}

std::optional<std::string_view> Translation::source_fragment(std::string_view pattern,
                                                             std::string_view fragment) const {
  if (fragment.empty()) return std::nullopt;
  for (const Piece& piece : pieces) {
    if (text.compare(piece.offset, fragment.size(), fragment) != 0) continue;
    // The source end of the piece that holds the fragment's last byte.
    const size_t last = piece.offset + fragment.size() - 1;
    auto holder = std::upper_bound(pieces.begin(), pieces.end(), last,
                                   [](size_t o, const Piece& p) { return o < p.offset; });
    const Piece& end_piece = *std::prev(holder);
    const size_t end = last + 1 == text.size() ? source_size
                       : end_piece.copied      ? end_piece.source_begin + (last - end_piece.offset) + 1
                                               : end_piece.source_end;
    if (end < piece.source_begin || end > pattern.size()) return std::nullopt;
    return pattern.substr(piece.source_begin, end - piece.source_begin);
  }
  return std::nullopt;
}

Translation translate_pattern(std::string_view pattern, PatternDialect dialect,
                              std::span<const CodePointRange> engine_unknown) {
  return Translator(pattern, dialect, engine_unknown).run();
}

}  // namespace vorlisk
