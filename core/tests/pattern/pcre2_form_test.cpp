// The PCRE2 form of hand-built syntax trees: its text where the text is
// the point, what PCRE2 makes of it, and PCRE2's error offsets mapped back
// to the pattern.
#include "core/pattern/pcre2_form.h"
#include "core/pattern/pcre2_unicode.h"
#include "core/pattern/pattern_parser.h"

#include <gtest/gtest.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/base/utf8.h"
#include "core/pattern/unicode_tables.h"

namespace vorlisk::pattern {
namespace {

// ---- building trees ----------------------------------------------------------

using Kind = Node::Kind;

NodePtr make(Node node) { return std::make_unique<Node>(std::move(node)); }

template <class... Nodes>
std::vector<NodePtr> list(Nodes... nodes) {
  std::vector<NodePtr> out;
  (out.push_back(std::move(nodes)), ...);
  return out;
}

template <class... Nodes>
NodePtr seq(Nodes... nodes) {
  return make({.kind = Kind::kConcat, .children = list(std::move(nodes)...)});
}

NodePtr alt(NodePtr a, NodePtr b) {
  return make({.kind = Kind::kAlternation, .children = list(std::move(a), std::move(b))});
}

NodePtr lit(char32_t cp, SourceSpan at = {}) {
  return make({.kind = Kind::kLiteral, .source = at, .code_point = cp});
}

NodePtr assertion(Assertion kind) { return make({.kind = Kind::kAssertion, .assertion = kind}); }

ClassMember ranges(CodePointSet set) { return {std::move(set), kNoUnicodeSet, false}; }

// Generated set `set` ("\w", "\p{Greek}"), or its complement ("\W").
ClassMember property(uint16_t set, bool negated = false) {
  const std::span<const CodePointRange> runs = unicode_set(set);
  return {negated ? complement(runs) : CodePointSet(runs.begin(), runs.end()), set, negated};
}

ClassMember property(std::string_view name, bool negated = false) {
  return property(find_unicode_property(name)->set, negated);
}

NodePtr cls(std::vector<ClassMember> members, bool negated = false, SourceSpan at = {}) {
  CodePointSet set;
  for (const ClassMember& member : members) {  // the union, by De Morgan
    set = complement(intersection(complement(set), complement(member.set)));
  }
  return make({.kind = Kind::kClass,
               .source = at,
               .set = negated ? complement(set) : set,
               .members = std::move(members),
               .negated = negated});
}

NodePtr rep(NodePtr item, uint32_t min, uint32_t max, bool greedy = true, SourceSpan at = {}) {
  return make({.kind = Kind::kRepetition,
               .source = at,
               .children = list(std::move(item)),
               .min = min,
               .max = max,
               .greedy = greedy});
}

NodePtr group(NodePtr body, uint32_t capture, std::string name = "", SourceSpan at = {},
              bool unterminated = false) {
  return make({.kind = Kind::kGroup,
               .source = at,
               .children = list(std::move(body)),
               .capture_index = capture,
               .name = std::move(name),
               .unterminated = unterminated});
}

NodePtr foreign(std::string text, SourceSpan at = {}, bool caseless = false) {
  return make(
      {.kind = Kind::kForeign, .source = at, .text = std::move(text), .caseless = caseless});
}

NodePtr foreign_group(std::string opening, NodePtr body, bool unterminated = false) {
  return make({.kind = Kind::kForeignGroup,
               .children = list(std::move(body)),
               .text = std::move(opening),
               .unterminated = unterminated});
}

// Each case builds its tree afresh, so that it may run any number of times.
using Build = NodePtr (*)();

// ---- PCRE2 -------------------------------------------------------------------

Pcre2Form form_of(NodePtr root, size_t source_size = 0,
                  std::span<const CodePointRange> unknown = engine_unknown()) {
  PatternTree tree;
  tree.root = std::move(root);
  return emit_pcre2(tree, source_size, unknown);
}

// A form (or pattern) compiled as the backtracking engine compiles it.
struct Code {
  explicit Code(std::string_view text) {
    int error = 0;
    code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                             PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY, &error, &error_offset,
                             nullptr));
    PCRE2_UCHAR buffer[256];
    if (code == nullptr && pcre2_get_error_message(error, buffer, sizeof buffer) > 0) {
      message = reinterpret_cast<const char*>(buffer);
    }
  }

  // The first match at or after `from`, as [start, end).
  std::optional<std::pair<size_t, size_t>> find(std::string_view text, size_t from = 0,
                                                uint32_t options = 0) const {
    if (pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from,
                    options, data.get(), nullptr) < 0) {
      return std::nullopt;
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    return std::pair(ovector[0], ovector[1]);
  }

  bool matches_whole(std::string_view text) const {
    return find(text, 0, PCRE2_ANCHORED | PCRE2_ENDANCHORED).has_value();
  }

  // Where an empty match starts.
  std::vector<size_t> empty_matches(std::string_view text) const {
    std::vector<size_t> out;
    for (size_t at = 0; at <= text.size(); ++at) {
      if (find(text, at, PCRE2_ANCHORED) == std::pair(at, at)) out.push_back(at);
    }
    return out;
  }

  std::unique_ptr<pcre2_code, decltype(&pcre2_code_free)> code{nullptr, &pcre2_code_free};
  std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data{
      pcre2_match_data_create(8, nullptr), &pcre2_match_data_free};
  PCRE2_SIZE error_offset = 0;
  std::string message;
};

// ---- the text, where the text is the point -------------------------------------

struct TextCase {
  const char* name;
  Build tree;
  const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class Text : public ::testing::TestWithParam<TextCase> {};

TEST_P(Text, OfTheForm) { EXPECT_EQ(form_of(GetParam().tree(), 0, {}).text, GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Nodes, Text,
    ::testing::Values(
        // PCRE2 reports the missing ")" itself.
        TextCase{"UnterminatedGroups",
                 [] {
                   return seq(lit('x'), group(seq(lit('a'), foreign_group("(?=", lit('b'), true)),
                                              1, "", {}, true));
                 },
                 "x(a(?=b"},
        // No flag but a caseless backreference's; foreign text untouched,
        // also when repeated (a group would end a flag setting's reach).
        TextCase{"ForeignTextAsItStands",
                 [] {
                   return seq(foreign("(?J)"), group(lit('a'), 1, "n"), foreign("\\1", {}, true),
                              foreign_group("(?<!", lit('b')), rep(foreign("\\g{n}"), 2, 2));
                 },
                 "(?J)(?<n>a)(?i:\\1)(?<!b)\\g{n}{2}"},
        TextCase{"RepetitionOfARepetition",
                 [] { return rep(rep(lit('a'), 1, kUnbounded), 0, 3, false); }, "(?:a+){0,3}?"},
        // Whole sets by PCRE2's names: a class of explicit ranges as large
        // as \w takes kilobytes of PCRE2's 64 KiB.
        TextCase{"WholeSetsAsProperties",
                 [] {
                   return seq(cls({property(unicode_tables::kWordSet)}),
                              cls({property(unicode_tables::kDigitSet, true)}),
                              cls({property(unicode_tables::kSpaceSet), ranges({{'_', '_'}}),
                                   property(unicode_tables::kDigitSet, true)},
                                  true));
                 },
                 "[\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\p{Join_Control}][^\\p{Nd}]"
                 "[^\\p{White_Space}\\_\\P{Nd}]"}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return info.param.name; });

// ---- what PCRE2 makes of the form ------------------------------------------------

TEST(Literals, AreThemselvesInAndOutOfClasses) {
  std::string text;
  NodePtr sequence = make({.kind = Kind::kConcat});
  for (char32_t cp : {0x0u, 0x9u, 0xAu, 0x20u, 0x7Fu, 0xE9u, 0x4E2Du, 0x1F600u}) {
    append_utf8(text, cp);
    sequence->children.push_back(lit(cp));
  }
  for (char32_t cp = 0x21; cp < 0x7F; ++cp) {  // every printable ASCII character, twice
    text.append(2, static_cast<char>(cp));
    sequence->children.push_back(lit(cp));
    sequence->children.push_back(cls({ranges({{cp, cp}})}));
  }
  const Pcre2Form form = form_of(std::move(sequence));
  const Code code(form.text);
  ASSERT_TRUE(code.code) << code.message;
  EXPECT_TRUE(code.matches_whole(text)) << form.text;
}

class WordTest : public ::testing::TestWithParam<Assertion> {};

// Where a word test holds, by its definition over the Unicode \w.
std::vector<size_t> word_test_holds(Assertion kind, std::string_view text) {
  const std::span<const CodePointRange> word = unicode_set(unicode_tables::kWordSet);
  std::vector<size_t> out;
  bool before = false;
  for (size_t at = 0, next = 0; at <= text.size(); at = next) {
    const bool after = at < text.size() && contains(word, decode_utf8_at(text, next));
    const bool holds = kind == Assertion::kWordBoundary      ? before != after
                       : kind == Assertion::kNotWordBoundary ? before == after
                       : kind == Assertion::kWordStart       ? !before && after
                       : kind == Assertion::kWordEnd         ? before && !after
                       : kind == Assertion::kWordStartHalf   ? !before
                                                             : !after;
    if (holds) out.push_back(at);
    if (at == text.size()) break;
    before = after;
  }
  return out;
}

TEST_P(WordTest, HoldsWhereTheUnicodeWordClassSaysSo) {
  const Code code(form_of(assertion(GetParam())).text);
  ASSERT_TRUE(code.code) << code.message;
  // Letters, marks and digits of several scripts, a join control,
  // punctuation, spaces and a line feed.
  for (std::string_view text :
       {"", "a", "a\u00E9 b", "\u0436\u0301!\u0663_\u4E2D\u3002", "x\u200Dy\u00A0-z\n\u00DF"}) {
    EXPECT_EQ(code.empty_matches(text), word_test_holds(GetParam(), text)) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Assertions, WordTest,
                         ::testing::Values(Assertion::kWordBoundary, Assertion::kNotWordBoundary,
                                           Assertion::kWordStart, Assertion::kWordEnd,
                                           Assertion::kWordStartHalf, Assertion::kWordEndHalf));

TEST(Anchors, HoldAtTheEndsAndAtEveryLine) {
  const std::string_view text = "ab\n\ncd\n";
  const auto holds = [text](Assertion kind) {
    return Code(form_of(assertion(kind)).text).empty_matches(text);
  };
  EXPECT_EQ(holds(Assertion::kLineStart), (std::vector<size_t>{0, 3, 4, 7}));
  EXPECT_EQ(holds(Assertion::kLineEnd), (std::vector<size_t>{2, 3, 6, 7}));
  EXPECT_EQ(holds(Assertion::kTextStart), (std::vector<size_t>{0}));
  EXPECT_EQ(holds(Assertion::kTextEnd), (std::vector<size_t>{7}));
}

struct ClassCase {
  const char* name;
  Build tree;
};

void PrintTo(const ClassCase& c, std::ostream* os) { *os << c.name; }

class Classes : public ::testing::TestWithParam<ClassCase> {};

// PCRE2 matches a code point exactly when the tree's set holds it: around
// every edge of the set and of what PCRE2's tables lack, and at a stride.
TEST_P(Classes, MatchExactlyTheTreesSet) {
  const NodePtr tree = GetParam().tree();
  const Code code(form_of(GetParam().tree()).text);
  ASSERT_TRUE(code.code) << code.message;
  std::vector<char32_t> probes;
  for (std::span<const CodePointRange> runs :
       {std::span<const CodePointRange>(tree->set), engine_unknown()}) {
    for (const CodePointRange& run : runs) {
      probes.insert(probes.end(), {run.first - 1, run.first, run.last, run.last + 1});
    }
  }
  for (char32_t cp = 0; cp <= 0x10FFFF; cp += 251) probes.push_back(cp);
  size_t wrong = 0;
  for (char32_t cp : probes) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) continue;
    std::string text;
    append_utf8(text, cp);
    if (code.matches_whole(text) != contains(tree->set, cp) && ++wrong <= 5) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<uint32_t>(cp);
    }
  }
  EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, Classes,
    ::testing::Values(ClassCase{"Word", [] { return cls({property(unicode_tables::kWordSet)}); }},
                      ClassCase{"NotWord",
                                [] { return cls({property(unicode_tables::kWordSet, true)}); }},
                      ClassCase{"NotWordOrDigit",
                                [] {
                                  return cls({property(unicode_tables::kWordSet, true),
                                              property(unicode_tables::kDigitSet)});
                                }},
                      ClassCase{"NotLettersInABracket",
                                [] {
                                  return cls({property("L", true), ranges({{'a', 'c'}})});
                                }},
                      ClassCase{"NotGreekNorDigits",
                                [] {
                                  return cls({property("Greek", true),
                                              property(unicode_tables::kDigitSet, true)},
                                             true);
                                }},
                      // PCRE2's tables count more code points unassigned than ours.
                      ClassCase{"Unassigned", [] { return cls({property("Cn")}); }},
                      ClassCase{"UnknownScript", [] { return cls({property("Unknown")}); }},
                      // A script newer than PCRE2's tables.
                      ClassCase{"Kawi", [] { return cls({property("Kawi")}); }},
                      ClassCase{"NotKawi", [] { return cls({property("Kawi", true)}); }},
                      ClassCase{"Nothing", [] { return cls({ranges({})}); }},
                      ClassCase{"Everything", [] { return cls({ranges({})}, true); }}),
    [](const ::testing::TestParamInfo<ClassCase>& info) { return info.param.name; });

struct MatchCase {
  const char* name;
  Build tree;
  const char* text;
  std::optional<std::pair<size_t, size_t>> match;  // the first one
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class Matches : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Matches, First) {
  const Pcre2Form form = form_of(GetParam().tree());
  const Code code(form.text);
  ASSERT_TRUE(code.code) << code.message << " in " << form.text;
  EXPECT_EQ(code.find(GetParam().text), GetParam().match) << form.text;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Matches,
    ::testing::Values(
        MatchCase{"CaselessBackreferenceAmongCaseSensitiveLiterals",
                  [] { return seq(group(lit('a'), 1), foreign("\\1", {}, true), lit('b')); },
                  "aAB aAb", std::pair(4, 7)},
        MatchCase{"DigitAfterABackreference",
                  [] { return seq(group(lit('a'), 1), foreign("\\1"), lit('0')); }, "aa aa0",
                  std::pair(3, 6)},
        MatchCase{"AlternationInsideSequence",
                  [] { return seq(lit('x'), alt(lit('a'), lit('b'))); }, "b xb", std::pair(2, 4)},
        MatchCase{"RepeatedSequence", [] { return rep(seq(lit('a'), lit('b')), 2, 2); }, "abbabab",
                  std::pair(3, 7)},
        MatchCase{"RepeatedAssertionAndEmptyText",
                  [] {
                    return seq(rep(assertion(Assertion::kTextStart), 0, 1),
                               rep(make({.kind = Kind::kEmpty}), 2, 2), lit('b'));
                  },
                  "ab", std::pair(1, 2)}),
    [](const ::testing::TestParamInfo<MatchCase>& info) { return info.param.name; });

// ---- offsets -----------------------------------------------------------------------

struct ErrorCase {
  const char* name;
  const char* pattern;
  Build tree;  // with the spans of the pattern
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class Errors : public ::testing::TestWithParam<ErrorCase> {};

// PCRE2 reports an error in the form at the place where it reports it in
// the pattern: inside a foreign text byte for byte, at the end for a
// missing ")".
TEST_P(Errors, AtThePlaceInThePattern) {
  const std::string_view pattern = GetParam().pattern;
  const Pcre2Form form = form_of(GetParam().tree(), pattern.size());
  const Code from_pattern(pattern);
  const Code from_form(form.text);
  ASSERT_FALSE(from_form.code) << form.text;
  EXPECT_EQ(from_form.message, from_pattern.message);
  EXPECT_EQ(form.source_offset(from_form.error_offset), from_pattern.error_offset) << form.text;
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, Errors,
    ::testing::Values(
        ErrorCase{"UnknownEscape", "\u00E9+\\i",
                  [] {
                    return seq(rep(lit(0xE9, {0, 2}), 1, kUnbounded, true, {0, 3}),
                               foreign("\\i", {3, 5}));
                  }},
        ErrorCase{"UnterminatedGroup", "(\u00E9|a",
                  [] {
                    return group(alt(lit(0xE9, {1, 3}), lit('a', {4, 5})), 1, "", {0, 5}, true);
                  }},
        ErrorCase{"UnknownGroupName", "(?<a>x)[a-z]\\k<b>",
                  [] {
                    return seq(group(lit('x', {5, 6}), 1, "a", {0, 7}),
                               cls({ranges({{'a', 'z'}})}, false, {7, 12}),
                               foreign("\\k<b>", {12, 17}, true));
                  }}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vorlisk::pattern

namespace vorlisk::pattern {
namespace {

// The counting callouts stand where a search may resume after a
// backtrack, and at its start: not before every item.
TEST(Pcre2Callouts, AtTheStartAndAtEveryChoicePoint) {
  const std::pair<const char*, const char*> cases[] = {
      {"(a|a)+(?=b)", "(?C)(a|(?C)a)+(?C)(?=b)"},
      {"a+?b", "(?C)a+?(?C)b"},
      {"(?:ab)*?c|d", "(?C)(?:(?C)ab)*?(?C)c|(?C)d"},
      {"(?<=x)(?:b|c)*", "(?C)(?<=x)(?:b|(?C)c)*(?C)"},
      {"\\1x{2}", "(?C)\\1x{2}(?C)"},
  };
  for (const auto& [pattern, expected] : cases) {
    const BacktrackingParse parse = parse_backtracking_pattern(pattern);
    EXPECT_EQ(emit_pcre2(parse.tree, std::string_view(pattern).size(), engine_unknown(),
                         Pcre2Callouts::kAtChoicePoints)
                  .text,
              expected)
        << pattern;
  }
}

}  // namespace
}  // namespace vorlisk::pattern
