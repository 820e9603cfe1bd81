// The pattern parser: what each dialect accepts and the error texts it
// gives, the flags it applies (case folding before negation above all),
// the facts a tree records, and the RE2 forms written from it.
#include "core/pattern/pattern_parser.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/base/utf8.h"
#include "core/pattern/linear_engine.h"
#include "core/pattern/pattern_emit.h"
#include "core/tests/pattern/pattern_tree_check.h"
#include "core/tests/pattern/re2_matches.h"

namespace vorlisk::pattern {
namespace {

using testing_support::compile_re2;
using testing_support::re2_replaced;
using testing_support::tree_fault;

std::string linear_error(std::string_view pattern) {
  const auto parsed = parse_linear_pattern(pattern);
  const std::string* error = std::get_if<std::string>(&parsed);
  return error ? *error : "<parsed>";
}

PatternTree linear_tree(std::string_view pattern) {
  auto parsed = parse_linear_pattern(pattern);
  EXPECT_TRUE(std::holds_alternative<PatternTree>(parsed)) << pattern << ": " << linear_error(pattern);
  if (!std::holds_alternative<PatternTree>(parsed)) return {};
  return std::move(std::get<PatternTree>(parsed));
}

std::string nested(int depth) {
  return std::string(static_cast<size_t>(depth), '(') + "a" + std::string(static_cast<size_t>(depth), ')');
}

// Pre-order walk.
void visit(const Node& node, const std::function<void(const Node&)>& each) {
  each(node);
  for (const NodePtr& child : node.children) visit(*child, each);
}

// ---- the linear dialect: faults ---------------------------------------------------

struct ErrorCase {
  std::string pattern;
  std::string error;  // "" when the pattern parses
};

class LinearErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(LinearErrors, FirstFaultInPatternOrder) {
  EXPECT_EQ(linear_error(GetParam().pattern), GetParam().error.empty() ? "<parsed>" : GetParam().error)
      << GetParam().pattern;
}

const std::string kSetOperation = " is not supported in value patterns; escape the characters to match them literally.";
const std::string kNested = " is not supported in value patterns; escape the \"[\" to match it literally.";
const std::string kBoundaryNames = "; the named ones are \\b{start}, \\b{end}, \\b{start-half} and \\b{end-half}.";
const std::string kSingleByte =
    " matches a single byte, which can split a UTF-8 character; it is not supported in value patterns.";
const std::string kClassAtEnd = " has a class at one end; escape the \"-\" to match it literally.";

INSTANTIATE_TEST_SUITE_P(
    EngineTable, LinearErrors,
    ::testing::Values(
        ErrorCase{"(", "missing ): ("}, ErrorCase{"\\d+", ""},
        ErrorCase{"(?<=user=)\\w+", "invalid perl operator: (?<"},
        ErrorCase{"(a)\\1", "invalid escape sequence: \\1"},
        ErrorCase{"a\\Cb", "The escape \\C at position 1" + kSingleByte},
        ErrorCase{"\\\\C|\\Q\\C\\E|[\\\\C]", ""},
        ErrorCase{"[a-z&&[^aeiou]]", "Character class set operation \"&&\" at position 4" + kSetOperation},
        ErrorCase{"x[+--]", "Character class set operation \"--\" at position 3" + kSetOperation},
        ErrorCase{"[]~~]", "Character class set operation \"~~\" at position 2" + kSetOperation},
        ErrorCase{"[ab[cd]]", "Nested character class at position 3" + kNested},
        ErrorCase{"a&&b--c|[&\\&][-~][[:alpha:]-][\\[a]|\\Q[a&&b]\\E", ""},
        ErrorCase{"[[.a.]]", "Nested character class at position 1" + kNested},
        ErrorCase{"(?x) card # [a&&b] (", ""},
        ErrorCase{"(?x)(?-x: # [a&&b]\n)", "Character class set operation \"&&\" at position 14" + kSetOperation},
        ErrorCase{"x\\b{begin}", "Unknown word boundary \"\\b{begin}\" at position 1" + kBoundaryNames},
        ErrorCase{"\\b{start", "Unknown word boundary \"\\b{start\" at position 0" + kBoundaryNames},
        ErrorCase{"\\b{2}x|\\b{ start }", ""},
        ErrorCase{"[a\\w-z]", "Character class range \"\\w-z\" at position 2" + kClassAtEnd},
        ErrorCase{"(?R)^a$", "invalid perl operator: (?R"},
        ErrorCase{"(?x)a\x85" "b", "invalid UTF-8"}, ErrorCase{"a{\xC0\xA0" "2}", "invalid UTF-8"},
        ErrorCase{"\\w+(\\d", "missing ): \\w+(\\d"}, ErrorCase{"(?x) \\s* [\\d ", "missing ]: [\\d "},
        ErrorCase{"\\u00e9(?<a-b>x)", "invalid named capture group: (?<a-b>"},
        ErrorCase{"\\p{Greek}\\p{Foo}", "invalid character class range: \\p{Foo}"},
        ErrorCase{"\\w{2,1}", "invalid repetition size: {2,1}"},
        ErrorCase{"(?#[a&&b])(?C'[a&&b]')[\\p{L&}&]", "invalid perl operator: (?#"},
        ErrorCase{"(*pla:[a&&b])", "no argument for repetition operator: *"},
        ErrorCase{nested(250), ""},
        ErrorCase{nested(251), "Groups nest deeper than the limit of 250 levels at position 250."}));

INSTANTIATE_TEST_SUITE_P(
    Limits, LinearErrors,
    ::testing::Values(
        ErrorCase{"a{1000}", ""}, ErrorCase{"a{1001}", "invalid repetition size: {1001}"},
        ErrorCase{"a{ 1001 }?", "invalid repetition size: { 1001 }?"},  // quoted as written
        ErrorCase{"((a{10}){10}){10}", ""},
        ErrorCase{"((a{10}){10}){11}", "invalid repetition size: {11}"},  // counts multiply past 1000
        ErrorCase{"(a{1000}|b){2}", "invalid repetition size: {2}"},
        ErrorCase{"x{2}{500}", ""}, ErrorCase{"x{2}{501}", "invalid repetition size: {501}"},
        ErrorCase{"a{01}|a{1000000000}", ""},  // no counts RE2 reads: the "{" is itself
        ErrorCase{"{2}", "no argument for repetition operator: {2}"},
        ErrorCase{"(?i)*", "no argument for repetition operator: *"}, ErrorCase{"a(?i)*", ""},
        // Stacked repetitions are written as groups and count as such.
        ErrorCase{std::string(249, '(') + "a*?*" + std::string(249, ')'), ""},
        ErrorCase{std::string(249, '(') + "a*?**?" + std::string(249, ')'),
                  "Groups nest deeper than the limit of 250 levels at position 253."}));

INSTANTIATE_TEST_SUITE_P(
    Syntax, LinearErrors,
    ::testing::Values(
        ErrorCase{"a)", "unexpected ): a)"}, ErrorCase{"(?i", "invalid perl operator: (?i"},
        ErrorCase{"(?i-)", "invalid perl operator: (?i-)"}, ErrorCase{"(?-)", "invalid perl operator: (?-)"},
        ErrorCase{"(?)", ""}, ErrorCase{"(?i-s:x)(?-U)(?x-i)", ""},
        ErrorCase{"(?P<a", "invalid named capture group: (?P<a"}, ErrorCase{"(?P<", "invalid perl operator: (?P"},
        ErrorCase{"(?P<>x)", "invalid named capture group: (?P<>"},
        ErrorCase{"(?P<\u00E9\u0663_\u02B0>x)(?<n1>y)(?P<n1>z)", ""},  // word characters; repeats allowed
        ErrorCase{"(?P<a\u00B7>x)", "invalid named capture group: (?P<a\u00B7>"},
        ErrorCase{"(?<n", "invalid perl operator: (?<"},
        ErrorCase{"\\8", "invalid escape sequence: \\8"}, ErrorCase{"\\12\\0\\400", ""},
        ErrorCase{"\\x{110000}", "invalid escape sequence: \\x{110000"},
        ErrorCase{"\\x{ 41}", "invalid escape sequence: \\x{ "}, ErrorCase{"(?x)\\x{ 41 }\\u{ 42 }", ""},
        ErrorCase{"\\u12", "invalid escape sequence: \\u"},
        ErrorCase{"\\q", "invalid escape sequence: \\q"}, ErrorCase{"\\\u00E9", "invalid escape sequence: \\\u00E9"},
        ErrorCase{"a\\", "trailing \\"}, ErrorCase{"[a-\\", "trailing \\"},
        ErrorCase{"\\p", "invalid character class range: \\p"}, ErrorCase{"[\\p", "invalid escape sequence: \\p"},
        ErrorCase{"\\p{Greek", "invalid character class range: \\p{Greek"},
        ErrorCase{"\\p{^Greek}\\P{^L}\\p{sc=Cyrillic}\\p{ Decimal_Number }\\p{Kawi}", ""},
        ErrorCase{"[z-a]", "invalid character class range: z-a"},
        ErrorCase{"[[:foo:]]", "invalid character class range: [:foo:]"},
        ErrorCase{"[[:alpha:]", "missing ]: [[:alpha:]"}, ErrorCase{"[]", "missing ]: []"},
        ErrorCase{"[\\b]", "invalid escape sequence: \\b"}, ErrorCase{"[\\Q]\\E]", "invalid escape sequence: \\Q"},
        // The first fault in the pattern wins, whichever kind it is.
        ErrorCase{"a\\C(", "The escape \\C at position 1" + kSingleByte},
        ErrorCase{"\\1[a&&b]", "invalid escape sequence: \\1"},
        ErrorCase{"[a&&b]\\1", "Character class set operation \"&&\" at position 2" + kSetOperation}));

// ---- the linear dialect: meaning -------------------------------------------------

struct MeaningCase {
  std::string pattern;
  std::string text;
  std::string expected;  // the text with every match replaced by "#"
};

// The text as RE2 replaces with the form written from the tree: the full
// form where it is exact, the ASCII one (exact on ASCII text) otherwise.
std::string replaced(const MeaningCase& c) {
  const PatternTree tree = linear_tree(c.pattern);
  const auto re = compile_re2(emit_re2(tree, tree.has_word_assertion ? Re2Form::kAscii : Re2Form::kFull));
  EXPECT_TRUE(re->ok()) << re->pattern() << ": " << re->error();
  return re2_replaced(*re, c.text);
}

class LinearMeaning : public ::testing::TestWithParam<MeaningCase> {};

TEST_P(LinearMeaning, FormsMatchAsThePatternSays) {
  EXPECT_EQ(replaced(GetParam()), GetParam().expected) << GetParam().pattern << " over " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, LinearMeaning,
    ::testing::Values(
        // A set is folded before it is negated.
        MeaningCase{"(?i)\\P{Lu}", "aA1", "aA#"}, MeaningCase{"(?i)[^\\P{Lu}]+", "SECRET secret 12", "# # 12"},
        MeaningCase{"(?i)[^k]", "kK\u212A.", "kK\u212A#"}, MeaningCase{"(?i)\\W", "k\u212A\u017F!", "k\u212A\u017F#"},
        MeaningCase{"(?i)[[:^alpha:]]", "\u212Ax1", "\u212Ax#"},
        MeaningCase{"(?i)k", "k K \u212A x", "# # # x"}, MeaningCase{"(?i)\\p{Lu}+", "aB\u00E9", "#"},
        MeaningCase{"(?i)[a-c]+", "AbC", "#"},
        // Scoped and inline flags end with their group.
        MeaningCase{"(?i:a)b", "Ab AB", "# AB"}, MeaningCase{"a(?i)b", "aB Ab", "# Ab"},
        MeaningCase{"(?i)a(?-i)b", "Ab AB", "# AB"}, MeaningCase{"(?i)a(?:b(?-i)c)d", "abcd ABcD ABCD", "# # ABCD"},
        MeaningCase{"(?i)a|b", "A B", "# #"},
        MeaningCase{"(?m)^a$", "a\nb\na\n", "#\nb\n#\n"}, MeaningCase{"^a$", "a\na", "a\na"},
        MeaningCase{"(?m)$", "a\n", "a#\n#"},
        MeaningCase{"(?s)a.b", "a\nb", "#"}, MeaningCase{"a.b", "a\nb", "a\nb"},
        MeaningCase{"(?U)a+", "aaa", "###"}, MeaningCase{"(?U)a+?", "aaa", "#"},
        MeaningCase{"(?x) a \\  b # a comment [(\n c [ d e ] \\# \u3000", "a bcd#", "#"},
        MeaningCase{"(?x: a b )c d", "abc d", "#"}, MeaningCase{"a(?x) b (?-x) c", "ab c", "#"}));

INSTANTIATE_TEST_SUITE_P(
    Syntax, LinearMeaning,
    ::testing::Values(
        MeaningCase{"\\u0041\\u{42}\\U00000043\\x44\\x{1F600}\\v", "ABCD\U0001F600\x0B", "#"},
        MeaningCase{"a{ 2 }b{,2}c{1, 2}", "aabbcc", "#"}, MeaningCase{"a**b+?+c{2}{2}", "aaabbcccc", "#"},
        MeaningCase{"\\Q\\w \\E+", "\\w   ", "#"}, MeaningCase{"\\Qa.\\E*", "aaa. a.", "### #"},
        MeaningCase{"[]a]+|[^]b]", "]a]bc", "#b#"},
        MeaningCase{"[--a]+", "-a.", "#."},  // leading dashes are themselves
        MeaningCase{"[a-]+", "a-b", "#b"},
        MeaningCase{"\\x{D800}|b", "ab", "a#"},  // a surrogate matches nothing
        MeaningCase{"\\p{Greek}+ \\p{sc=Cyrillic}+ \\P{L}", "\u03B1\u03B2 \u0436 !", "#"},
        MeaningCase{"[[:word:]]+", "a_1\u00E9", "#\u00E9"},
        // RE2 reads the class [Kk] as "k" under (?i) and loses the "K"
        // when it merges it with a class that has a "k": the form keeps it.
        MeaningCase{"[ak]|[Kk]", "K", "#"}, MeaningCase{"(?i)[ak]|q", "AQ", "##"},
        MeaningCase{"\\bx\\B", "xy x", "#y x"}));

// The full forms put every character in the same classes as the linear
// engine does, but where folding before negation makes a difference.
TEST(FullForms, ClassesHoldWhatTheLinearEngineMatchesOnEveryCharacter) {
  std::string text;
  for (char32_t cp = 0; cp <= 0xE01EF; ++cp) {
    if (cp == 0x4E00) cp = 0xA000;     // unified ideographs: many, all alike
    if (cp == 0x20000) cp = 0xE0000;  // so are the planes above
    if (cp < 0xD800 || cp > 0xDFFF) append_utf8(text, cp);
  }
  for (const char* pattern : {"\\w+", "\\W+", "\\d+", "\\D+", "\\s+", "\\S+", "[^\\w\\s]+", "[\\W\\d]+", "(?i)\\w+",
                              "\\p{L}+", "\\p{Greek}+", "\\P{Latin}+", "(?i)\\p{Greek}+", "(?i)[\\p{Lu}\\d]+",
                              "[[:alpha:][:punct:]]+", "(?i)[a-z]+", "(?s).", ".+"}) {
    auto engine = LinearExpression::compile(pattern);
    ASSERT_TRUE(std::holds_alternative<LinearExpression>(engine)) << pattern;
    const std::string expected = std::get<LinearExpression>(engine).replace_all(text, "#").value_or(text);
    const auto form = compile_re2(emit_re2(linear_tree(pattern), Re2Form::kFull));
    ASSERT_TRUE(form->ok()) << pattern << ": " << form->error();
    EXPECT_TRUE(re2_replaced(*form, text) == expected) << pattern;
  }
}

// ---- what a tree records ----------------------------------------------------------

TEST(PatternTree, CapturesAreNumberedByTheirOpening) {
  const PatternTree tree = linear_tree("(?P<a>x(y))(?:z)(?<b>w)(?i:v)");
  EXPECT_EQ(tree.capture_count, 3u);
  EXPECT_EQ(tree.capture_names, (std::vector<std::string>{"", "a", "", "b"}));
  // An unnamed group has no name: "" must not find group 2 (nor the whole match).
  for (const auto& [name, numbers] : {std::pair<const char*, std::vector<uint32_t>>{"b", {3}},
                                      {"", {}}, {"c", {}}}) {
    std::vector<uint32_t> found;
    tree.numbers_named(name, found);
    EXPECT_EQ(found, numbers) << '"' << name << '"';
  }
}

TEST(PatternTree, WordAssertionsAndWhetherRe2HasThem) {
  struct Case {
    const char* pattern;
    bool has;
    bool re2_ascii;
  };
  for (const Case& c : {Case{"x", false, true}, Case{"\\bx\\B", true, true}, Case{"\\<x", true, false},
                        Case{"x\\b{end-half}|\\b", true, false}, Case{"^x$", false, true}}) {
    const PatternTree tree = linear_tree(c.pattern);
    EXPECT_EQ(tree.has_word_assertion, c.has) << c.pattern;
    EXPECT_EQ(tree.word_assertions_re2_ascii, c.re2_ascii) << c.pattern;
  }
}

// A class member names the generated set it is, for an engine that has a
// name of its own for it, only when it is exactly that set.
TEST(PatternTree, MembersNameTheirGeneratedSet) {
  const uint16_t upper = find_unicode_property("Lu")->set;
  const uint16_t greek = find_unicode_property("Greek")->set;
  const uint16_t any = find_unicode_property("Any")->set;
  struct Case {
    const char* pattern;
    uint16_t set;
    bool negated;
  };
  for (const Case& c : {Case{"\\w", unicode_tables::kWordSet, false}, Case{"\\W", unicode_tables::kWordSet, true},
                        Case{"(?i)\\w", unicode_tables::kWordSet, false}, Case{"\\p{Lu}", upper, false},
                        Case{"(?i)\\p{Lu}", kNoUnicodeSet, false}, Case{"[\\P{Greek}]", greek, true},
                        Case{"[[:alpha:]]", kNoUnicodeSet, false}, Case{"(?s).", any, false},
                        Case{"[a-z]", kNoUnicodeSet, false}}) {
    const PatternTree tree = linear_tree(c.pattern);
    const Node* found = nullptr;
    visit(*tree.root, [&](const Node& node) {
      if (node.kind == Node::Kind::kClass && found == nullptr) found = &node;
    });
    ASSERT_NE(found, nullptr) << c.pattern;
    ASSERT_EQ(found->members.size(), 1u) << c.pattern;
    EXPECT_EQ(found->members[0].unicode_set, c.set) << c.pattern;
    if (c.set != kNoUnicodeSet) {
      EXPECT_EQ(found->members[0].unicode_set_negated, c.negated) << c.pattern;
    }
  }
}

TEST(PatternTree, NodesKnowWhereTheyWereRead) {
  const PatternTree tree = linear_tree("ab(c|)[d]{2}");
  ASSERT_EQ(tree.root->kind, Node::Kind::kConcat);
  const auto& items = tree.root->children;
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[2]->kind, Node::Kind::kGroup);
  EXPECT_EQ(items[2]->source.begin, 2u);
  EXPECT_EQ(items[2]->source.end, 6u);
  const Node& alternation = *items[2]->children[0];
  ASSERT_EQ(alternation.kind, Node::Kind::kAlternation);
  EXPECT_EQ(alternation.children[1]->kind, Node::Kind::kEmpty);
  EXPECT_EQ(items[3]->kind, Node::Kind::kRepetition);
  EXPECT_EQ(items[3]->source.begin, 6u);
  EXPECT_EQ(items[3]->source.end, 12u);
}

// Under (?i) a letter is the set of its cases; a character without cases
// stays a literal.
TEST(PatternTree, CaseInsensitiveLiterals) {
  const PatternTree tree = linear_tree("(?i)k1");
  ASSERT_EQ(tree.root->kind, Node::Kind::kConcat);
  const Node& k = *tree.root->children[0];
  ASSERT_EQ(k.kind, Node::Kind::kClass);
  EXPECT_EQ(k.set.size(), 3u);  // K, k and the Kelvin sign
  EXPECT_TRUE(contains(k.set, 0x212A));
  EXPECT_EQ(tree.root->children[1]->kind, Node::Kind::kLiteral);
}

// "*", "+" and "?" of one greed over one another are one repetition, as
// in RE2; other stacks nest.
TEST(PatternTree, StackedRepetitions) {
  const PatternTree squashed = linear_tree("a+*?");
  ASSERT_EQ(squashed.root->kind, Node::Kind::kRepetition);
  EXPECT_EQ(squashed.root->children[0]->kind, Node::Kind::kRepetition);
  const PatternTree same = linear_tree("a*+");
  ASSERT_EQ(same.root->kind, Node::Kind::kRepetition);
  EXPECT_EQ(same.root->children[0]->kind, Node::Kind::kLiteral);
  EXPECT_EQ(same.root->max, kUnbounded);
  EXPECT_EQ(same.root->min, 0u);
}

// ---- patterns of the newest Unicode, and long ones ---------------------------

TEST(RecentPatterns, UnicodeFifteenScriptAndLetterRuns) {
  const PatternTree kawi = linear_tree("\\b\\p{Kawi}+");
  const auto kawi_full = compile_re2(emit_re2(kawi, Re2Form::kFull));
  ASSERT_TRUE(kawi_full->ok()) << kawi_full->error();
  EXPECT_EQ(re2_replaced(*kawi_full, "x \U00011F04 y"), "x # y");  // the relaxed form finds the start

  const PatternTree words = linear_tree("(?i)\\b(?:\\p{L}+[ -]){1,12}\\p{L}+\\b");
  for (Re2Form form : {Re2Form::kFull, Re2Form::kAscii}) {
    const auto re = compile_re2(emit_re2(words, form));
    EXPECT_TRUE(re->ok()) << re->error();
  }
}

// ---- the backtracking dialect ------------------------------------------------------

struct BacktrackingCase {
  std::string pattern;
  std::vector<std::string> foreign;  // the kForeign and kForeignGroup texts, in order
  std::string refusal;               // "" when none
};

class Backtracking : public ::testing::TestWithParam<BacktrackingCase> {};

// PCRE2's own constructs, and whatever it is left to judge, are kept as
// their bytes; a refusal waits beside the tree.
TEST_P(Backtracking, ForeignTextsAndRefusal) {
  const BacktrackingCase& c = GetParam();
  const BacktrackingParse parse = parse_backtracking_pattern(c.pattern);
  std::vector<std::string> foreign;
  visit(*parse.tree.root, [&](const Node& node) {
    if (node.kind == Node::Kind::kForeign || node.kind == Node::Kind::kForeignGroup) {
      foreign.push_back(node.text);
      if (node.kind == Node::Kind::kForeign && node.text.front() != '(') {
        // Left as it stands in the pattern: PCRE2 reports errors there.
        EXPECT_EQ(node.text, c.pattern.substr(node.source.begin, node.source.end - node.source.begin));
      }
    }
  });
  EXPECT_EQ(foreign, c.foreign) << c.pattern;
  EXPECT_EQ(parse.refusal.value_or(""), c.refusal) << c.pattern;
}

INSTANTIATE_TEST_SUITE_P(
    EngineTable, Backtracking,
    ::testing::Values(
        BacktrackingCase{"(", {}, ""}, BacktrackingCase{"(?<=user=)\\w+", {"(?<="}, ""},
        BacktrackingCase{"(a)\\1", {"\\1"}, ""},
        BacktrackingCase{"a\\Cb", {"\\C"}, "The escape \\C at position 1" + kSingleByte},
        BacktrackingCase{"[a-z&&[^aeiou]]", {}, "Character class set operation \"&&\" at position 4" + kSetOperation},
        BacktrackingCase{"[ab[cd]]", {}, "Nested character class at position 3" + kNested},
        BacktrackingCase{"[[.a.]]", {"[[.a.]"}, "Nested character class at position 1" + kNested},
        BacktrackingCase{"x\\b{begin}", {"\\b{begin}"}, "Unknown word boundary \"\\b{begin}\" at position 1" + kBoundaryNames},
        BacktrackingCase{"[a\\w-z]", {}, "Character class range \"\\w-z\" at position 2" + kClassAtEnd},
        BacktrackingCase{"(?R)^a$", {"(?R", ")"}, "The flag R (CRLF mode) at position 2 is not supported in value patterns."},
        BacktrackingCase{"(?x)a\x85" "b", {"\x85"}, ""},
        BacktrackingCase{"a{\xC0\xA0" "2}", {"\xC0\xA0"}, ""},
        BacktrackingCase{"\\u00e9(?<a-b>x)", {"(?<a-b>", ")"}, ""},
        BacktrackingCase{"\\p{Greek}\\p{Foo}", {"\\p{Foo}"}, ""}, BacktrackingCase{"\\w{2,1}", {"{2,1}"}, ""},
        BacktrackingCase{"(?#[a&&b])(?C'[a&&b]')[\\p{L&}&]", {"(?C'[a&&b]')", "[\\p{L&}&]"}, ""},
        BacktrackingCase{"(*pla:[a&&b])", {"(*pla:"}, "Character class set operation \"&&\" at position 8" + kSetOperation},
        BacktrackingCase{"(?J)(?<n>a)|(?<n>b)", {"(?J)"}, ""}));

INSTANTIATE_TEST_SUITE_P(
    Pcre2Syntax, Backtracking,
    ::testing::Values(
        BacktrackingCase{"a{1001}a{65535}", {}, ""}, BacktrackingCase{"a{65536}", {"{65536}"}, ""},
        BacktrackingCase{"a{01}", {}, ""}, BacktrackingCase{"*a", {"*"}, ""}, BacktrackingCase{"a)", {")"}, ""},
        BacktrackingCase{"\\g{-1}\\k<n>\\g2(?P=n)(?&n)(?1)(?+1)", {"\\g{-1}", "\\k<n>", "\\g2", "(?P=n)", "(?&n)", "(?1)", "(?+1)"}, ""},
        // \10 refers to a group only when ten have opened before it.
        BacktrackingCase{"\\10()()()()()()()()()()\\10", {"\\10"}, ""},
        BacktrackingCase{"\\K\\G\\Z\\X\\R\\h\\N(*SKIP)(*MARK:x)", {"\\K", "\\G", "\\Z", "\\X", "\\R", "\\h", "\\N", "(*SKIP)", "(*MARK:x)"}, ""},
        BacktrackingCase{"(?>a)(?|b)(?!c)(?<!d)(*atomic:e)(?(1)f|g)(?(?=h)i)", {"(?>", "(?|", "(?!", "(?<!", "(*atomic:", "(?(1)", "(?", "(?="}, ""},
        BacktrackingCase{"(?i-n)(?Jx:a b)(?^)", {"(?-n)", "(?J:", "(?^)"}, ""},
        BacktrackingCase{"\\e\\cA\\o{101}\\x\\x4\\N{U+41}\\E\\Qa\\E[\\b\\1]\\8", {"\\8"}, ""},
        BacktrackingCase{"(?<1a>x)(?'ok'y)", {"(?<1a>", ")"}, ""}, BacktrackingCase{"[\\h]", {"[\\h]"}, ""},
        BacktrackingCase{"\\q(?z)", {"\\q", "(?z", ")"}, ""},
        BacktrackingCase{"(?(", {"(?("}, ""}, BacktrackingCase{"(?#x", {"(?#x"}, ""},
        BacktrackingCase{nested(251) + "(?<=a)", {nested(1).substr(0, 1) + "a" + std::string(251, ')') + "(?<=a)"},
                         "Groups nest deeper than the limit of 250 levels at position 250."}));

TEST(Backtracking, FlagsAreAppliedAndBackreferencesKeepTheirCase) {
  const BacktrackingParse parse = parse_backtracking_pattern("(a)(?i)\\1k(?-i)\\1");
  std::vector<bool> caseless;
  bool k_folded = false;
  visit(*parse.tree.root, [&](const Node& node) {
    if (node.kind == Node::Kind::kForeign) caseless.push_back(node.caseless);
    if (node.kind == Node::Kind::kClass) k_folded = contains(node.set, 'K') && contains(node.set, 0x212A);
  });
  EXPECT_EQ(caseless, (std::vector<bool>{true, false}));
  EXPECT_TRUE(k_folded);
}

// ---- any input -------------------------------------------------------------------

// Every prefix of patterns full of constructs, cut anywhere (inside an
// escape, a name, a class, a UTF-8 character), parses in both dialects
// into a well-formed tree or an error.
TEST(AnyPattern, EveryPrefixGivesAWellFormedTreeOrAnError) {
  const std::string patterns[] = {
      "(?i)(?P<n>a|[^\\P{Lu}\\d-z]{2,3}?)\\b{start}\\x{1F600}\\u{e9}\\p{Greek}+(?:x**)?$",
      "(?x: a \\  [ b - d ] # comment\n)\\Qa.\\E{ 1 , 2 }(?-x)[[:^alpha:]\\]\\-]\u00E9\u0301",
      "(?<=a)(?>b)(?(1)c|d)\\g{-1}(*pla:e)(?C'x')\\k<n>(?J)(?'m'f)\\10\\o{101}\\cA[\\b\\h]",
      "[a-z&&b]\\C\\b{x}(?R)\xC3\x28\xF0\x9F\x98(?#c)\\N{U+41}a{70000}(?^i)"};
  for (const std::string& pattern : patterns) {
    for (size_t end = 0; end <= pattern.size(); ++end) {
      const std::string prefix = pattern.substr(0, end);
      const auto linear = parse_linear_pattern(prefix);
      if (const auto* tree = std::get_if<PatternTree>(&linear)) {
        EXPECT_EQ(tree_fault(*tree, prefix.size(), true), "") << prefix;
      } else {
        EXPECT_FALSE(std::get<std::string>(linear).empty()) << prefix;
      }
      EXPECT_EQ(tree_fault(parse_backtracking_pattern(prefix).tree, prefix.size(), false), "") << prefix;
    }
  }
}

}  // namespace
}  // namespace vorlisk::pattern
