// The table of recently compiled patterns: one engine for one pattern, its
// bounds in entries and in bytes, what an entry is charged against what it
// holds, errors given afresh, many threads at once, and fork().
#include "core/pattern/recent_patterns.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/tests/pattern/heap_in_use.h"
#include "core/tests/wait_for_child.h"

namespace vorlisk {

// The table's mutex, for a test to hold while another thread forks.
struct RecentPatternsTestAccess {
  static std::mutex& mutex(RecentPatterns& table) { return table.mutex_; }
};

namespace {

using namespace std::chrono_literals;

const CompiledPattern::Engine* engine_of(const PatternResult& result) {
  const auto* compiled = std::get_if<CompiledPattern>(&result);
  return compiled != nullptr ? &compiled->engine() : nullptr;
}

std::string error_of(const PatternResult& result) {
  const auto* error = std::get_if<std::string>(&result);
  return error != nullptr ? *error : "<compiled>";
}

// What a pattern does to a text, "=" when it leaves the text as it is.
std::string redacted(const PatternResult& result, std::string_view text) {
  const auto* compiled = std::get_if<CompiledPattern>(&result);
  if (compiled == nullptr) return "error: " + error_of(result);
  return redact_with_pattern(*compiled, text, "<$0>").value_or("=");
}

TEST(RecentPatternTable, OnePatternSharesOneEngineKeyedAlsoByBacktracking) {
  RecentPatterns table;
  const PatternResult first = table.compile("\\d+", false);
  const PatternResult again = table.compile("\\d+", false);
  ASSERT_NE(engine_of(first), nullptr);
  EXPECT_EQ(engine_of(first), engine_of(again));
  EXPECT_EQ(redacted(again, "pin 1234"), "pin <1234>");
  // The same text compiled with backtracking allowed is an entry of its
  // own, and so is another text.
  EXPECT_NE(engine_of(table.compile("\\d+", true)), engine_of(first));
  EXPECT_NE(engine_of(table.compile("\\d*", false)), engine_of(first));
  EXPECT_EQ(table.size(), 3u);

  // A look-behind: an error for the linear engine alone, compiled with
  // backtracking; neither answer leaks into the other, in either order.
  const char* look_behind = "(?<=k=)\\w+";
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(error_of(table.compile(look_behind, false)), "invalid perl operator: (?<");
    EXPECT_EQ(redacted(table.compile(look_behind, true), "k=v"), "k=<v>");
  }
}

TEST(RecentPatternTable, KeepsTheMostRecentlyUsedWithinItsCapacity) {
  RecentPatterns table(3);
  const PatternResult a = table.compile("a", false);
  const PatternResult b = table.compile("b", false);
  table.compile("c", false);
  table.compile("a", false);  // now b is the least recently used
  table.compile("d", false);
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(engine_of(table.compile("a", false)), engine_of(a));
  // b was dropped: compiled anew (its old engine, still held here, cannot
  // share an address with the new one).
  const PatternResult b_again = table.compile("b", false);
  EXPECT_NE(engine_of(b_again), engine_of(b));
  EXPECT_EQ(redacted(b_again, "abc"), "a<b>c");
  EXPECT_EQ(table.size(), 3u);
}

// What the table charges for keeping `pattern`, learnt from a table of its
// own.
size_t charge_of(const std::string& pattern) {
  RecentPatterns table;
  table.compile(pattern, false);
  return table.bytes();
}

TEST(RecentPatternTable, DropsTheLeastRecentlyUsedUntilItsChargesFitItsBytes) {
  const std::string a = "\\d{3}-\\d{4}", b = "(?i)token=\\S+", c = "\\b\\w+@\\w+\\b";
  const size_t charges[] = {charge_of(a), charge_of(b), charge_of(c)};
  for (const size_t charge : charges) {
    ASSERT_GT(charge, 0u);
    ASSERT_LE(charge, kRecentPatternEntryBytes);
  }
  // Room for any two of the three, not for all three.
  RecentPatterns table(32, charges[0] + charges[1] + charges[2] - 1);
  const PatternResult kept_b = table.compile(b, false);
  table.compile(a, false);
  table.compile(b, false);  // now a is the least recently used
  table.compile(c, false);
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.bytes(), charges[1] + charges[2]);
  EXPECT_EQ(engine_of(table.compile(b, false)), engine_of(kept_b));
  // a comes back and pushes out c, the least recently used since b's hit.
  EXPECT_EQ(redacted(table.compile(a, false), "pin 555-1234"), "pin <555-1234>");
  EXPECT_EQ(table.bytes(), charges[0] + charges[1]);
  EXPECT_EQ(engine_of(table.compile(b, false)), engine_of(kept_b));
}

TEST(RecentPatternTable, APatternChargedOverTheEntryLimitServesItsCallOnly) {
  struct Case {
    std::string pattern;
    size_t entry_limit;
  };
  // A table that keeps "x" but nothing charged more.
  const size_t just_x = charge_of("x");
  ASSERT_GT(charge_of("\\d"), just_x);
  for (const Case& over : {
           // Its full form's program alone may take 10 MiB.
           Case{"\\w{300}", kRecentPatternEntryBytes},
           Case{"\\d", just_x},
       }) {
    RecentPatterns table(32, kRecentPatternBytes, over.entry_limit);
    table.compile("x", false);
    ASSERT_EQ(table.size(), 1u);
    const size_t bytes = table.bytes();
    const PatternResult once = table.compile(over.pattern, false);
    const PatternResult twice = table.compile(over.pattern, false);
    ASSERT_NE(engine_of(once), nullptr) << over.pattern;
    EXPECT_NE(engine_of(once), engine_of(twice)) << over.pattern;
    const std::string text = std::string(400, 'y') + "7";
    EXPECT_EQ(redacted(twice, text), redacted(compile_pattern(over.pattern, false), text)) << over.pattern;
    EXPECT_EQ(table.size(), 1u) << over.pattern;
    EXPECT_EQ(table.bytes(), bytes) << over.pattern;
  }
}

// Random texts over few characters make the automata of patterns such as
// a[ab]{12}c build thousands of states, and fill their caches; others give
// every class something to match, and characters that are not ASCII.
std::vector<std::string> demanding_texts(uint32_t seed, size_t size) {
  std::mt19937 random(seed);
  const auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  static const char* const kPieces[] = {"a", "b", "c", "x", "1", "9", " ", "-", "@", ".", "_", "Z",
                                        "\n", "password=", "bearer ", "\u00e9", "\u00df", "\u03a9",
                                        "\u4e2d", "\u0663"};
  std::string mixed;
  std::string ab;
  std::string ab_other;
  while (mixed.size() < size) mixed += kPieces[pick(std::size(kPieces))];
  for (size_t i = 0; i < size; ++i) {
    ab += "ab"[pick(2)];
    ab_other += "ab"[pick(2)];
    if (pick(64) == 0) ab += "c1 "[pick(3)];
    if (pick(64) == 0) ab_other += pick(2) == 0 ? "\u00e9" : "z";
  }
  return {mixed, ab, ab_other};
}

TEST(RecentPatternTable, WhatAnEntryIsChargedBoundsWhatItHolds) {
  const std::pair<std::string, bool> patterns[] = {
      {"\\b[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}\\b", false},
      {"\\b(?:\\d[ -]*?){13,16}\\b", false},
      {"(?i)\\bbearer\\s+[A-Za-z0-9._~+/-]+=*", false},
      {"\\b\\d{3}-\\d{2}-\\d{4}\\b", false},
      {"(?i)password=\\S+", false},
      {"\\w+", false},
      {"\\w{2}", false},
      {"\\p{L}[ab]{10}", false},
      {"a[ab]{12}c", false},
      {"(?:a|b)*a(?:a|b){10}", false},
      {"(?i)[a-z][ab1]{10}z", false},
      {"\\b\\w[ab]{8}\\b", false},
      {"\\<[ab]{10}\\>", false},
      {"(x)(?P<n>[ab]{9})(\\d)|(?m)^a[ab]{10}$", false},
      {"(?<=a)b+(?=c)", true},
      {"(a|b)\\1{3}", true},
  };
  // Whatever the first search of all sets up for good is not measured.
  redacted(compile_pattern("\\w+\\b", true), "warm up \u00e9");
  for (const auto& [pattern, allow_backtracking] : patterns) {
    const size_t before = heap_in_use();
    std::optional<PatternResult> kept;
    // Compiled, kept and searched by threads that then end, so that no
    // thread's cache of freed blocks counts as held.
    std::thread([&, allow_backtracking = allow_backtracking] {
      RecentPatterns table;
      kept = table.compile(pattern, allow_backtracking);
      const auto* compiled = std::get_if<CompiledPattern>(&*kept);
      if (compiled == nullptr) return;
      std::vector<std::thread> searchers;
      for (uint32_t t = 0; t < 3; ++t) {
        searchers.emplace_back([compiled, t] {
          for (const std::string& text : demanding_texts(t, 32 * 1024)) {
            redact_with_pattern(*compiled, text, "#");
            redact_with_pattern(*compiled, text, "<$1>");
          }
        });
      }
      for (std::thread& searcher : searchers) searcher.join();
      EXPECT_EQ(table.size(), 1u) << pattern;
      EXPECT_EQ(table.bytes(), RecentPatterns::charge(pattern, *compiled)) << pattern;
    }).join();
    const auto* compiled = std::get_if<CompiledPattern>(&*kept);
    ASSERT_NE(compiled, nullptr) << pattern;
    const size_t held = heap_in_use() - before;
    EXPECT_LE(held, compiled->memory_bound()) << pattern;
  }
}

TEST(RecentPatternTable, AFailedCompileGivesTheSameErrorEveryTimeAndIsNotKept) {
  RecentPatterns table;
  for (const bool allow_backtracking : {false, true}) {
    const std::string expected = error_of(compile_pattern("(", allow_backtracking));
    ASSERT_NE(expected, "<compiled>");
    for (int call = 0; call < 3; ++call) {
      EXPECT_EQ(error_of(table.compile("(", allow_backtracking)), expected);
    }
  }
  EXPECT_EQ(table.size(), 0u);
}

// Patterns (more than the table holds, so that entries come and go) and
// texts, ASCII and not, with word assertions, so that threads also build
// the shared engines' programs on first need at once.
const std::vector<std::pair<std::string, bool>>& shared_patterns() {
  static const std::vector<std::pair<std::string, bool>> patterns = [] {
    std::vector<std::pair<std::string, bool>> out;
    for (const char* text : {"\\b\\w+@\\w+\\b", "\\d{3}-\\d{2}", "(?i)password=\\S+", "\\w+\\>",
                             "\\b{start}\\p{L}+", "(?<=id=)\\d+", "(", "[[:alpha:]]+x"}) {
      out.emplace_back(text, false);
      out.emplace_back(text, true);
    }
    return out;
  }();
  return patterns;
}

const std::vector<std::string>& shared_texts() {
  static const std::vector<std::string> texts = {
      "mail bob@example password=hunter2 id=42 555-12-3456",
      "Grüße an jürgen@exämple, id=7 PASSWORD=geheim",
  };
  return texts;
}

TEST(RecentPatternTable, ThreadsCompilingAndSearchingAtOnceGetWhatAFreshCompileGives) {
  const auto& patterns = shared_patterns();
  const auto& texts = shared_texts();
  std::vector<std::string> expected;
  for (const auto& [text, backtracking] : patterns) {
    const PatternResult fresh = compile_pattern(text, backtracking);
    for (const std::string& subject : texts) expected.push_back(redacted(fresh, subject));
  }

  RecentPatterns table(5);
  constexpr int kThreads = 6;
  constexpr int kRounds = 150;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // Half the threads walk the patterns in one order, half in
        // another: the same pattern at once, and different ones.
        const size_t i = (t % 2 == 0 ? round : round * 7 + t) % patterns.size();
        const PatternResult result = table.compile(patterns[i].first, patterns[i].second);
        for (size_t k = 0; k < texts.size(); ++k) {
          if (redacted(result, texts[k]) != expected[i * texts.size() + k]) ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_LE(table.size(), 5u);
}

// In the child: the process-wide table answers, from an entry made before
// the fork and from a new one.
bool child_compiles(const std::string& kept_pattern) {
  const PatternResult kept = recent_patterns().compile(kept_pattern, false);
  const PatternResult made = recent_patterns().compile("made in the child \\d", false);
  return redacted(kept, "a1") == "a<1>" && redacted(made, "made in the child 7") == "<made in the child 7>";
}

TEST(RecentPatternTable, AChildForkedWhileAnotherThreadHoldsTheTableCompiles) {
  // A text of this test's own, so that the entry is surely there.
  const std::string kept_pattern = "\\d(?:forked)?";
  ASSERT_NE(engine_of(recent_patterns().compile(kept_pattern, false)), nullptr);
  constexpr int kForks = 5;
  int failed_children = 0;
  for (int i = 0; i < kForks; ++i) {
    std::atomic<bool> holding{false};
    std::atomic<bool> forked{false};
    std::thread holder([&] {
      std::unique_lock<std::mutex> lock(RecentPatternsTestAccess::mutex(recent_patterns()));
      holding = true;
      // fork() waits for the lock; were the table not listed, the child
      // would find it held for ever.
      std::this_thread::sleep_for(30ms);
      lock.unlock();
      // Still running when fork() returns, so that the child has no
      // finished thread left unjoined (ThreadSanitizer reports one).
      while (!forked.load()) std::this_thread::yield();
    });
    while (!holding.load()) std::this_thread::yield();
    const pid_t pid = fork();
    if (pid == 0) _exit(child_compiles(kept_pattern) ? 0 : 1);
    forked = true;
    holder.join();
    ASSERT_GT(pid, 0);
    if (wait_for_child(pid, 10s) != 0) ++failed_children;
  }
  EXPECT_EQ(failed_children, 0);
}

}  // namespace
}  // namespace vorlisk
