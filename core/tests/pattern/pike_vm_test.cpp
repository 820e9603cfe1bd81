// Our own linear-time matcher: RE2's leftmost-first matches and groups,
// the assertions on Unicode text, and a randomized comparison with RE2.
#include "core/pattern/pike_vm.h"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <pthread.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/pattern/unicode_sets.h"

namespace vorlisk::pattern {
namespace {

// ---- trees by hand ----------------------------------------------------------

NodePtr make(Node::Kind kind) {
  auto node = std::make_unique<Node>();
  node->kind = kind;
  return node;
}

NodePtr empty() { return make(Node::Kind::kEmpty); }

NodePtr lit(char32_t cp) {
  NodePtr node = make(Node::Kind::kLiteral);
  node->code_point = cp;
  return node;
}

NodePtr set_of(CodePointSet set) {
  NodePtr node = make(Node::Kind::kClass);
  node->set = std::move(set);
  return node;
}

NodePtr word() {
  const auto set = unicode_set(unicode_tables::kWordSet);
  return set_of(CodePointSet(set.begin(), set.end()));
}

NodePtr non_word() { return set_of(complement(unicode_set(unicode_tables::kWordSet))); }

NodePtr assertion(Assertion which) {
  NodePtr node = make(Node::Kind::kAssertion);
  node->assertion = which;
  return node;
}

template <class... Nodes>
NodePtr with_children(Node::Kind kind, Nodes&&... children) {
  NodePtr node = make(kind);
  (node->children.push_back(std::forward<Nodes>(children)), ...);
  return node;
}

template <class... Nodes>
NodePtr cat(Nodes&&... children) {
  return with_children(Node::Kind::kConcat, std::forward<Nodes>(children)...);
}

template <class... Nodes>
NodePtr alt(Nodes&&... children) {
  return with_children(Node::Kind::kAlternation, std::forward<Nodes>(children)...);
}

// An ASCII string as literals.
NodePtr str(std::string_view text) {
  if (text.size() == 1) return lit(static_cast<unsigned char>(text[0]));
  NodePtr node = make(Node::Kind::kConcat);
  for (char c : text) node->children.push_back(lit(static_cast<unsigned char>(c)));
  return node;
}

NodePtr rep(NodePtr child, uint32_t min, uint32_t max, bool greedy = true) {
  NodePtr node = with_children(Node::Kind::kRepetition, std::move(child));
  node->min = min;
  node->max = max;
  node->greedy = greedy;
  return node;
}

NodePtr star(NodePtr child, bool greedy = true) { return rep(std::move(child), 0, kUnbounded, greedy); }
NodePtr plus(NodePtr child, bool greedy = true) { return rep(std::move(child), 1, kUnbounded, greedy); }

NodePtr group(uint32_t number, NodePtr child) {
  NodePtr node = with_children(Node::Kind::kGroup, std::move(child));
  node->capture_index = number;
  return node;
}

void note_captures(const Node& node, PatternTree& tree) {
  if (node.kind == Node::Kind::kGroup) tree.capture_count = std::max(tree.capture_count, node.capture_index);
  if (node.kind == Node::Kind::kAssertion && is_word_assertion(node.assertion)) tree.has_word_assertion = true;
  for (const NodePtr& child : node.children) note_captures(*child, tree);
}

PatternTree tree_of(NodePtr root) {
  PatternTree tree;
  tree.root = std::move(root);
  note_captures(*tree.root, tree);
  tree.capture_names.assign(tree.capture_count + 1, "");
  return tree;
}

// ---- RE2 syntax of a tree (ASCII-only trees) --------------------------------

std::string code_point_text(char32_t cp) {
  if ((cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9')) {
    return std::string(1, static_cast<char>(cp));
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\x{%X}", static_cast<unsigned>(cp));
  return buffer;
}

// Written as an emitter would: a concatenation or alternation inside one of
// its own kind inline, an alternation inside a concatenation in a group, a
// repeated operand in a group unless it is one literal, class or group.
std::string re2_syntax(const Node& node) {
  std::string out;
  switch (node.kind) {
    case Node::Kind::kEmpty:
      return "(?:)";
    case Node::Kind::kLiteral:
      return code_point_text(node.code_point);
    case Node::Kind::kClass:
      if (node.set.empty()) return "[^\\x00-\\x{10FFFF}]";
      out = "[";
      for (const CodePointRange& r : node.set) out += code_point_text(r.first) + "-" + code_point_text(r.last);
      return out + "]";
    case Node::Kind::kAssertion:
      switch (node.assertion) {
        case Assertion::kTextStart: return "\\A";
        case Assertion::kTextEnd: return "\\z";
        case Assertion::kLineStart: return "(?m:^)";
        case Assertion::kLineEnd: return "(?m:$)";
        case Assertion::kWordBoundary: return "\\b";
        case Assertion::kNotWordBoundary: return "\\B";
        default: ADD_FAILURE() << "RE2 has no such assertion"; return "";
      }
    case Node::Kind::kConcat:
      for (const NodePtr& child : node.children) {
        const bool grouped = child->kind == Node::Kind::kAlternation;
        out += grouped ? "(?:" + re2_syntax(*child) + ")" : re2_syntax(*child);
      }
      return out;
    case Node::Kind::kAlternation:
      for (const NodePtr& child : node.children) out += (&child == &node.children[0] ? "" : "|") + re2_syntax(*child);
      return out;
    case Node::Kind::kRepetition: {
      const Node& operand = *node.children[0];
      const bool atom = operand.kind == Node::Kind::kLiteral || operand.kind == Node::Kind::kClass ||
                        operand.kind == Node::Kind::kGroup;
      out = atom ? re2_syntax(operand) : "(?:" + re2_syntax(operand) + ")";
      if (node.min == 0 && node.max == kUnbounded) out += "*";
      else if (node.min == 1 && node.max == kUnbounded) out += "+";
      else if (node.min == 0 && node.max == 1) out += "?";
      else if (node.max == kUnbounded) out += "{" + std::to_string(node.min) + ",}";
      else out += "{" + std::to_string(node.min) + "," + std::to_string(node.max) + "}";
      return node.greedy ? out : out + "?";
    }
    case Node::Kind::kGroup:
      return (node.capture_index > 0 ? "(" : "(?:") + re2_syntax(*node.children[0]) + ")";
    default:
      ADD_FAILURE() << "no RE2 syntax";
      return "";
  }
}

// ---- the matches of a replace-all walk --------------------------------------

// Each match as "[text]" then "(text)" per group, "~" for a group that did
// not take part; matches are taken as replace_all_matches takes them.
using Finder = std::function<bool(size_t from, std::vector<std::optional<std::string_view>>& groups)>;

std::string walk(std::string_view text, const Finder& find) {
  std::string out;
  size_t from = 0;
  size_t last_end = std::string_view::npos;
  std::vector<std::optional<std::string_view>> groups;
  while (from <= text.size() && find(from, groups)) {
    const size_t start = static_cast<size_t>(groups[0]->data() - text.data());
    const size_t end = start + groups[0]->size();
    if (start == end && (start == last_end || !is_char_boundary(text, start))) {
      from = next_char_boundary(text, start);
      continue;
    }
    if (!out.empty()) out += ' ';
    out += "[" + std::string(*groups[0]) + "]";
    for (size_t n = 1; n < groups.size(); ++n) out += groups[n] ? "(" + std::string(*groups[n]) + ")" : "~";
    last_end = end;
    from = end;
  }
  return out;
}

std::string pike_matches(const PikeProgram& program, std::string_view text, bool wants_groups = true) {
  PikeMatcher matcher(program, text, wants_groups);
  const uint32_t group_count = wants_groups ? program.capture_count() : 0;
  return walk(text, [&](size_t from, std::vector<std::optional<std::string_view>>& groups) {
    MatchBounds found;
    if (matcher.find(from, found) != SearchStatus::kFound) return false;
    groups.clear();
    for (uint32_t n = 0; n <= group_count; ++n) groups.push_back(matcher.group_text(n));
    return groups[0]->data() == text.data() + found.start && groups[0]->size() == found.end - found.start;
  });
}

std::string pike_matches(const PatternTree& tree, std::string_view text) {
  const std::optional<PikeProgram> program = PikeProgram::compile(tree);
  if (!program) return "<no program>";
  return pike_matches(*program, text);
}

std::string re2_matches(const RE2& re, std::string_view text) {
  std::vector<re2::StringPiece> pieces(static_cast<size_t>(re.NumberOfCapturingGroups()) + 1);
  const re2::StringPiece whole(text.data(), text.size());
  return walk(text, [&](size_t from, std::vector<std::optional<std::string_view>>& groups) {
    if (!re.Match(whole, from, text.size(), RE2::UNANCHORED, pieces.data(), static_cast<int>(pieces.size()))) {
      return false;
    }
    groups.clear();
    for (const re2::StringPiece& piece : pieces) {
      groups.push_back(piece.data() ? std::optional(std::string_view(piece.data(), piece.size())) : std::nullopt);
    }
    return true;
  });
}

RE2::Options re2_options() {
  RE2::Options options;
  options.set_log_errors(false);
  return options;
}

// ---- priorities, empty loops, counted repetitions, groups -------------------

struct Case {
  std::string name;
  std::function<NodePtr()> pattern;
  std::string text;
  std::string expected;
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

class LeftmostFirst : public ::testing::TestWithParam<Case> {};

TEST_P(LeftmostFirst, MatchesAndGroupsAreRe2s) {
  const Case& c = GetParam();
  const PatternTree tree = tree_of(c.pattern());
  EXPECT_EQ(pike_matches(tree, c.text), c.expected);
  const RE2 re(re2_syntax(*tree.root), re2_options());
  ASSERT_TRUE(re.ok()) << re.pattern();
  EXPECT_EQ(re2_matches(re, c.text), c.expected) << re.pattern();
}

INSTANTIATE_TEST_SUITE_P(
    Trees, LeftmostFirst,
    ::testing::Values(
        Case{"alternatives_in_order", [] { return alt(str("a"), str("ab")); }, "ab", "[a]"},
        Case{"longer_first", [] { return alt(str("ab"), str("a")); }, "ab", "[ab]"},
        Case{"earliest_start_wins", [] { return alt(str("bc"), str("abcd")); }, "abcd", "[abcd]"},
        Case{"greedy", [] { return group(1, star(str("a"))); }, "aab", "[aa](aa) []()"},
        Case{"lazy", [] { return cat(group(1, star(str("a"), false)), str("b")); }, "aab", "[aab](aa)"},
        Case{"lazy_alone", [] { return plus(str("a"), false); }, "aa", "[a] [a]"},
        Case{"a_or_ab_then_c_or_bcd",
             [] { return cat(group(1, alt(str("a"), str("ab"))), group(2, alt(str("c"), str("bcd"))),
                             group(3, star(str("d")))); },
             "abcd", "[abcd](a)(bcd)()"},
        Case{"star_of_star", [] { return group(1, star(group(2, star(str("a"))))); }, "aab",
             "[aa](aa)(aa) []()()"},
        Case{"plus_of_a_or_empty", [] { return plus(group(1, alt(str("a"), empty()))); }, "aab",
             "[aa](a) []()"},
        Case{"plus_of_empty_or_a", [] { return plus(group(1, alt(empty(), str("a")))); }, "ab",
             "[]() []() []()"},
        Case{"star_of_empty_or_a", [] { return star(group(1, alt(empty(), str("a")))); }, "a",
             "[]() []()"},
        Case{"lazy_star_of_nullable", [] { return cat(star(group(1, alt(str("a"), empty())), false), str("b")); },
             "aab", "[aab](a)"},
        Case{"exact_count", [] { return group(1, rep(str("a"), 2, 2)); }, "aaaaa", "[aa](aa) [aa](aa)"},
        Case{"counted_range_last_iteration", [] { return rep(group(1, alt(str("a"), str("b"))), 2, 3); },
             "abba", "[abb](b)"},
        Case{"at_least", [] { return rep(group(1, str("a")), 2, kUnbounded); }, "a aaaa", "[aaaa](a)"},
        Case{"lazy_range", [] { return rep(str("a"), 2, 4, false); }, "aaaaa", "[aa] [aa]"},
        Case{"zero_times", [] { return cat(str("a"), rep(group(1, str("b")), 0, 0)); }, "ab", "[a]~"},
        Case{"optional_nested", [] { return rep(group(1, alt(str("a"), empty())), 0, 3); }, "aab",
             "[aa]() []()"},
        Case{"unset_group", [] { return alt(group(1, str("a")), group(2, str("b"))); }, "ba", "[b]~(b) [a](a)~"},
        Case{"group_kept_from_earlier_iteration",
             [] { return plus(alt(group(1, str("a")), group(2, str("b")))); }, "ab", "[ab](a)(b)"},
        Case{"empty_set_matches_nothing", [] { return alt(set_of({}), str("b")); }, "ab", "[b]"},
        // RE2's shape: the loops below meet in one list where "b" outranks
        // leaving them (with a mark per instruction, leaving would win);
        // common prefixes are factored; a*a is a+; \A and literal text are
        // a prefix matched apart.
        Case{"loop_lists", [] { return plus(star(alt(assertion(Assertion::kTextStart), str("b"))), false); },
             "bb", "[bb]"},
        Case{"factored_prefix", [] { return alt(cat(str("ab"), group(1, str("c"))), cat(str("ab"), group(2, str("d")))); },
             "abd abc", "[abd]~(d) [abc](c)~"},
        Case{"coalesced", [] { return cat(star(str("a")), str("a"), group(1, star(str("a"), false))); }, "aaa",
             "[aaa]()"},
        Case{"required_prefix",
             [] { return cat(assertion(Assertion::kTextStart), str("ab"), group(1, alt(str("c"), empty()))); },
             "abcab", "[abc](c)"}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(Sets, CaseFoldedLetterAfterItsLowerCase) {
  // RE2 (2022-06) merges "b|[Bb]" into a class without "B": it adds the
  // case variants of a letter only when the letter is not there yet. The
  // matcher keeps the tree's sets.
  const PatternTree tree = tree_of(alt(str("b"), set_of({{'B', 'B'}, {'b', 'b'}})));
  EXPECT_EQ(pike_matches(tree, "Bb"), "[B] [b]");
}

TEST(Programs, TreesOnlyTheBacktrackingEngineReadsAreRefused) {
  NodePtr backreference = make(Node::Kind::kForeign);
  backreference->text = "\\1";
  EXPECT_FALSE(PikeProgram::compile(tree_of(cat(group(1, str("a")), std::move(backreference)))));
  EXPECT_FALSE(PikeProgram::compile(tree_of(with_children(Node::Kind::kGroup))));
}

// Frees a tree with a stack of its own: a deep one would overflow the
// call stack through its destructors.
void free_deep(PatternTree& tree) {
  std::vector<NodePtr> pending;
  pending.push_back(std::move(tree.root));
  while (!pending.empty()) {
    NodePtr node = std::move(pending.back());
    pending.pop_back();
    for (NodePtr& child : node->children) pending.push_back(std::move(child));
  }
}

TEST(Programs, DeepPatternsCompileAndRunOnASmallStack) {
  // a*?*?... nested 100,000 deep (each repetition of another, greed
  // alternating so none squashes), and a{0,1000} nested in groups.
  NodePtr deep = str("a");
  for (int i = 0; i < 100000; ++i) deep = rep(std::move(deep), 0, kUnbounded, i % 2 == 0);
  PatternTree stacked = tree_of(str("x"));
  stacked.root = std::move(deep);
  PatternTree counted = tree_of(group(1, rep(group(2, alt(str("a"), str("b"))), 0, 1000)));
  struct Work {
    const PatternTree* trees[2];
    std::string results[2];
  } work{{&stacked, &counted}, {}};
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  const auto run = [](void* argument) -> void* {
    auto& w = *static_cast<Work*>(argument);
    for (int i = 0; i < 2; ++i) w.results[i] = pike_matches(*w.trees[i], "aab");
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, &work), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(work.results[0], "[] [] [] []");  // a lazy loop inside prefers to leave
  EXPECT_EQ(work.results[1], "[aab](aab)(b)");
  free_deep(stacked);
}

TEST(Programs, OneProgramServesManyThreads) {
  const std::optional<PikeProgram> program =
      PikeProgram::compile(tree_of(cat(group(1, plus(word())), assertion(Assertion::kWordBoundary))));
  std::string results[4];
  std::vector<std::thread> threads;
  for (std::string& result : results) {
    threads.emplace_back([&program, &result] { result = pike_matches(*program, "\u00E91 \u04362-x_3"); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& result : results) EXPECT_EQ(result, "[\u00E91](\u00E91) [\u04362](\u04362) [x_3](x_3)");
}

TEST(Programs, AMatcherIsReusedAcrossTexts) {
  const std::optional<PikeProgram> program = PikeProgram::compile(tree_of(cat(group(1, plus(word())), str("!"))));
  PikeMatcher matcher(*program);
  MatchBounds found;
  matcher.reset("\u00E9t\u00E9!", true);
  ASSERT_EQ(matcher.find(0, found), SearchStatus::kFound);
  EXPECT_EQ(matcher.group_text(1), "\u00E9t\u00E9");
  matcher.reset("no! yes!", false);
  ASSERT_EQ(matcher.find(3, found), SearchStatus::kFound);
  EXPECT_EQ(found.start, 4u);
  EXPECT_EQ(found.end, 8u);
  EXPECT_EQ(matcher.group_text(0), "yes!");
  EXPECT_EQ(matcher.group_text(1), std::nullopt);  // groups were not asked for
}

// ---- assertions on Unicode text ---------------------------------------------

// `text` with a "|" where the bare assertion holds.
std::string marked(Assertion which, std::string_view text) {
  const std::optional<PikeProgram> program = PikeProgram::compile(tree_of(assertion(which)));
  PikeMatcher matcher(*program, text, false);
  std::string out;
  size_t copied = 0;
  MatchBounds found;
  for (size_t from = 0; from <= text.size(); from = next_char_boundary(text, found.start)) {
    if (matcher.find(from, found) != SearchStatus::kFound) break;
    out.append(text.substr(copied, found.start - copied)).append("|");
    copied = found.start;
  }
  return out.append(text.substr(copied));
}

struct AssertionCase {
  Assertion which;
  const char* text;
  const char* expected;
};

TEST(Assertions, HoldWhereTheUnicodeWordSaysSo) {
  // é and ß (Latin), ж (Cyrillic), 中 (CJK), e + U+0301 (a combining mark),
  // ٣ (an Arabic-Indic digit) are all \w; "-" and "·" are not.
  const AssertionCase cases[] = {
      {Assertion::kWordBoundary, "\u00E9a \u00DF-\u0436", "|\u00E9a| |\u00DF|-|\u0436|"},
      {Assertion::kWordBoundary, "\u4E2D\u6587 e\u0301\u00B7\u0663", "|\u4E2D\u6587| |e\u0301|\u00B7|\u0663|"},
      {Assertion::kNotWordBoundary, "\u00E9a \u00DF-", "\u00E9|a \u00DF-|"},
      {Assertion::kNotWordBoundary, "", "|"},
      {Assertion::kWordStart, "\u00E9a \u00DF-\u0436 ", "|\u00E9a |\u00DF-|\u0436 "},
      {Assertion::kWordEnd, "\u00E9a \u00DF-\u0436", "\u00E9a| \u00DF|-\u0436|"},
      {Assertion::kWordStartHalf, "\u00E9a \u00DF-", "|\u00E9a |\u00DF-|"},
      {Assertion::kWordEndHalf, "\u00E9a \u00DF-", "\u00E9a| \u00DF|-|"},
      {Assertion::kTextStart, "\u00E9\n\u00E9", "|\u00E9\n\u00E9"},
      {Assertion::kTextEnd, "\u00E9\n\u00E9\n", "\u00E9\n\u00E9\n|"},
      {Assertion::kLineStart, "a\n\u00E9\n", "|a\n|\u00E9\n|"},
      {Assertion::kLineEnd, "a\n\u00E9\n", "a|\n\u00E9|\n|"},
      {Assertion::kLineEnd, "\n\n", "|\n|\n|"},
  };
  for (const AssertionCase& c : cases) {
    EXPECT_EQ(marked(c.which, c.text), c.expected) << static_cast<int>(c.which) << " over " << c.text;
  }
}

TEST(Assertions, ASearchFromTheMiddleSeesTheTextBefore) {
  struct FromCase {
    Assertion which;
    const char* text;
    size_t from;
    std::optional<size_t> expected;
  };
  const FromCase cases[] = {
      {Assertion::kWordBoundary, "\u00E9\u00E9 x", 2, 4},  // between é and é: no boundary
      {Assertion::kNotWordBoundary, "\u00E9\u00E9", 2, 2},
      {Assertion::kWordStart, "\u0436x", 2, std::nullopt},
      {Assertion::kWordEnd, "\u0436 ", 2, 2},
      {Assertion::kLineStart, "ab\ncd", 1, 3},
      {Assertion::kLineStart, "ab\ncd", 3, 3},
      {Assertion::kTextStart, "ab", 1, std::nullopt},
  };
  for (const FromCase& c : cases) {
    const std::optional<PikeProgram> program = PikeProgram::compile(tree_of(assertion(c.which)));
    PikeMatcher matcher(*program, c.text, false);
    MatchBounds found;
    const bool matched = matcher.find(c.from, found) == SearchStatus::kFound;
    EXPECT_EQ(matched ? std::optional(found.start) : std::nullopt, c.expected)
        << static_cast<int>(c.which) << " over " << c.text << " from " << c.from;
  }
  // A pattern that opens with \A (and literal text) matches at the start
  // only, and sees the words around the literal text.
  EXPECT_EQ(pike_matches(tree_of(cat(assertion(Assertion::kTextStart), star(word()))), "\u00E9a b"), "[\u00E9a]");
  const std::optional<PikeProgram> prefixed = PikeProgram::compile(
      tree_of(cat(assertion(Assertion::kTextStart), lit(U'\u00E9'), assertion(Assertion::kWordStart))));
  for (const char* text : {"\u00E9\u00E9", "\u00E9 "}) {
    PikeMatcher matcher(*prefixed, text, false);
    MatchBounds found;
    EXPECT_EQ(matcher.find(0, found), SearchStatus::kNotFound) << text;
  }
  PikeMatcher matcher(*prefixed, "\u00E9\u00E9", false);
  MatchBounds found;
  EXPECT_EQ(matcher.find(2, found), SearchStatus::kNotFound);
  EXPECT_EQ(pike_matches(*prefixed, "\u00E9-"), "");
  EXPECT_EQ(pike_matches(tree_of(cat(assertion(Assertion::kTextStart), lit(U'\u00E9'), plus(non_word()))), "\u00E9-\u00E9-"),
            "[\u00E9-]");
}

TEST(Assertions, WordsInAPattern) {
  // \w+_token\b and \w+_token\> over Unicode text.
  const auto token = [](Assertion end) {
    return tree_of(cat(plus(word()), str("_token"), assertion(end)));
  };
  EXPECT_EQ(pike_matches(token(Assertion::kWordBoundary), "\u00E9 aa_token\u00E9 b_token c_token-"),
            "[b_token] [c_token]");
  EXPECT_EQ(pike_matches(token(Assertion::kWordEnd), "x a_tokena_token a_tokena"), "[a_tokena_token]");
  EXPECT_EQ(pike_matches(tree_of(cat(assertion(Assertion::kWordBoundary), plus(non_word()))), "\u00E9 \u0436!"),
            "[ ] [!]");
}

// ---- text that is not UTF-8 -------------------------------------------------

TEST(IllFormedText, ABadByteIsOneCharacterThatOnlyAComplementHolds) {
  const std::string bad = "a\xFF" "b\xE2\x82 \xC3" "c\xED\xA0\x80" "d";
  EXPECT_EQ(pike_matches(tree_of(plus(word())), bad), "[a] [b] [c] [d]");
  const std::string not_a = "[\xFF" "b\xE2\x82 \xC3" "c\xED\xA0\x80" "d]";
  EXPECT_EQ(pike_matches(tree_of(plus(set_of(complement(CodePointSet{{'a', 'a'}})))), bad), not_a);
  EXPECT_EQ(pike_matches(tree_of(set_of(complement(unicode_set(unicode_tables::kWordSet)))), "\xFF"), "[\xFF]");
  // Every byte is a character of its own; \b sees none of them as \w.
  EXPECT_EQ(marked(Assertion::kWordBoundary, bad),
            "|a|\xFF|b|\xE2\x82 \xC3|c|\xED\xA0\x80|d|");
  // A well-formed character is never cut, whatever the bytes around it.
  const std::string mixed = "\xE2\x82\xAC\x80\xC3\xA9";
  EXPECT_EQ(pike_matches(tree_of(set_of(complement(CodePointSet{}))), mixed), "[\xE2\x82\xAC] [\x80] [\xC3\xA9]");
  EXPECT_EQ(pike_matches(tree_of(set_of({{0x80, 0x10FFFE}})), mixed), "[\xE2\x82\xAC] [\xC3\xA9]");
}

// ---- RE2 on random ASCII patterns -------------------------------------------

class RandomTrees {
 public:
  explicit RandomTrees(uint32_t seed) : random_(seed) {}

  PatternTree next() {
    groups_ = 0;
    PatternTree tree = tree_of(node(4));
    return tree;
  }

  std::string text() {
    static constexpr char kAlphabet[] = "aab_ \ncdD";
    std::string out(pick(12), ' ');
    for (char& c : out) c = kAlphabet[pick(sizeof kAlphabet - 1)];
    return out;
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

  NodePtr leaf() {
    static constexpr char kLetters[] = "ab_ \nc";
    static constexpr Assertion kAssertions[] = {Assertion::kTextStart,    Assertion::kTextEnd,
                                                Assertion::kLineStart,    Assertion::kLineEnd,
                                                Assertion::kWordBoundary, Assertion::kNotWordBoundary};
    switch (pick(7)) {
      case 0:
      case 1:
        return lit(static_cast<unsigned char>(kLetters[pick(sizeof kLetters - 1)]));
      case 6:  // a letter in both cases, as a case-insensitive literal is; a
               // letter of its own (see CaseFoldedLetterAfterItsLowerCase)
        return set_of({{'D', 'D'}, {'d', 'd'}});
      case 2: {
        CodePointSet set;  // in order, neighbours joined
        for (char32_t c : {U'\n', U' ', U'_', U'a', U'b', U'c'}) {
          if (!pick(2)) continue;
          if (!set.empty() && set.back().last + 1 == c) {
            set.back().last = c;
          } else {
            set.push_back({c, c});
          }
        }
        return set_of(pick(3) == 0 ? complement(set) : set);
      }
      case 3:
        return empty();
      default:
        return assertion(kAssertions[pick(std::size(kAssertions))]);
    }
  }

  NodePtr node(int depth) {
    if (depth == 0) return leaf();
    switch (pick(7)) {
      case 0:
        return leaf();
      case 1:
      case 2: {
        NodePtr n = make(Node::Kind::kConcat);
        for (size_t i = 0, count = 2 + pick(2); i < count; ++i) n->children.push_back(node(depth - 1));
        return n;
      }
      case 3: {
        NodePtr n = make(Node::Kind::kAlternation);
        for (size_t i = 0, count = 2 + pick(2); i < count; ++i) n->children.push_back(node(depth - 1));
        return n;
      }
      case 4:
      case 5: {
        static constexpr std::pair<uint32_t, uint32_t> kCounts[] = {
            {0, kUnbounded}, {1, kUnbounded}, {0, 1}, {2, kUnbounded}, {0, 2}, {1, 3}, {2, 2}, {0, 0}, {2, 4}};
        const auto [min, max] = kCounts[pick(std::size(kCounts))];
        return rep(node(depth - 1), min, max, pick(3) != 0);
      }
      default: {
        const uint32_t number = pick(4) == 0 ? 0 : ++groups_;
        return group(number, node(depth - 1));
      }
    }
  }

  std::mt19937 random_;
  uint32_t groups_ = 0;
};

// RE2's program size for ours: a class is a consuming instruction per run
// of code points there (but for runs of upper-case letters, when every
// letter is there in both cases or neither), and an unanchored program has
// two more for RE2's search loop. Nothing for a class beyond ASCII (RE2
// spells it in bytes).
std::optional<int> re2_program_size(const PikeProgram& program) {
  int size = static_cast<int>(program.instructions().size());
  for (const PikeInstruction& in : program.instructions()) {
    if (in.op != PikeOpcode::kClass) continue;
    const CodePointClass& c = program.code_point_class(in.arg);
    if (c.contains(0x80) || c.contains(0x10FFFF)) return std::nullopt;
    bool folds = true;
    for (char32_t cp = 'A'; cp <= 'Z'; ++cp) folds = folds && c.contains(cp) == c.contains(cp + 32);
    int runs = 0;
    for (char32_t cp = 0; cp < 0x80; ++cp) {
      if (!c.contains(cp) || (cp > 0 && c.contains(cp - 1))) continue;
      char32_t last = cp;
      while (last + 1 < 0x80 && c.contains(last + 1)) ++last;
      runs += !(folds && cp >= 'A' && last <= 'Z');
    }
    size += runs - 1;
  }
  if (program.start() != 0 && !program.anchored_at_start()) size += 2;
  return size;
}

// Every match and group of a replace-all walk, with groups asked for and
// without; and, where it can be told, RE2's program size: the same size
// says the program has RE2's shape, the same matches that it runs as RE2's.
TEST(AgainstRe2, RandomPatternsOverAsciiTexts) {
  RandomTrees random(20240611);
  int compared = 0;
  int sized = 0;
  for (int i = 0; i < 4000; ++i) {
    const PatternTree tree = random.next();
    const RE2 re(re2_syntax(*tree.root), re2_options());
    if (!re.ok()) continue;  // e.g. a count over RE2's repetition limit
    const std::optional<PikeProgram> program = PikeProgram::compile(tree);
    ASSERT_TRUE(program);
    if (const std::optional<int> size = re2_program_size(*program)) {
      ASSERT_EQ(*size, re.ProgramSize()) << re.pattern();
      ++sized;
    }
    for (int t = 0; t < 6; ++t) {
      const std::string text = random.text();
      const std::string expected = re2_matches(re, text);
      ASSERT_EQ(pike_matches(*program, text), expected) << re.pattern() << " over \"" << text << "\"";
      std::string bounds_only = expected;
      for (size_t pos; (pos = bounds_only.find_first_of("(~")) != std::string::npos;) {
        const size_t end = bounds_only[pos] == '~' ? pos + 1 : bounds_only.find(')', pos) + 1;
        bounds_only.erase(pos, end - pos);
      }
      EXPECT_EQ(pike_matches(*program, text, false), bounds_only) << re.pattern() << " over \"" << text << "\"";
      ++compared;
    }
  }
  EXPECT_GT(compared, 20000);
  EXPECT_GT(sized, 1000);
}

}  // namespace
}  // namespace vorlisk::pattern
