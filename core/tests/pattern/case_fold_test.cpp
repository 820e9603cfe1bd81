// Simple case folding of code-point sets, and the set operations the
// pattern parser builds classes with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/pattern/unicode_sets.h"

namespace vorlisk {
namespace {

using Ranges = std::vector<CodePointRange>;

std::string show(std::span<const CodePointRange> ranges) {
  std::string out;
  char buffer[32];
  for (const CodePointRange& range : ranges) {
    std::snprintf(buffer, sizeof buffer, "%X-%X ", range.first, range.last);
    out += buffer;
  }
  return out;
}

struct FoldCase {
  Ranges set;
  Ranges closure;
};

class CaseFold : public ::testing::TestWithParam<FoldCase> {};

TEST_P(CaseFold, ClosureHoldsEveryCaseVariant) {
  EXPECT_EQ(show(case_fold_closure(GetParam().set)), show(GetParam().closure));
}

INSTANTIATE_TEST_SUITE_P(
    Sets, CaseFold,
    ::testing::Values(
        FoldCase{{{'k', 'k'}}, {{'K', 'K'}, {'k', 'k'}, {0x212A, 0x212A}}},  // Kelvin sign
        FoldCase{{{0x212A, 0x212A}}, {{'K', 'K'}, {'k', 'k'}, {0x212A, 0x212A}}},
        FoldCase{{{'a', 'z'}}, {{'A', 'Z'}, {'a', 'z'}, {0x17F, 0x17F}, {0x212A, 0x212A}}},
        FoldCase{{{0x3C2, 0x3C2}}, {{0x3A3, 0x3A3}, {0x3C2, 0x3C3}}},  // final sigma
        FoldCase{{{0x3B8, 0x3B8}}, {{0x398, 0x398}, {0x3B8, 0x3B8}, {0x3D1, 0x3D1}, {0x3F4, 0x3F4}}},
        FoldCase{{{0x101, 0x104}}, {{0x100, 0x105}}},  // a run of case pairs, cut at both ends
        FoldCase{{{'0', '9'}, {0x4E00, 0x4E10}}, {{'0', '9'}, {0x4E00, 0x4E10}}},  // no cases
        FoldCase{{}, {}}));

// Each member of an orbit leads to the same orbit, whichever case a pattern
// spells; and folding a run gives the orbits of its members (runs are
// folded a run at a time, single characters by their links).
TEST(CaseFolding, EveryMemberOfAnOrbitFoldsToTheSameOrbit) {
  size_t orbits = 0;
  Ranges previous;
  for (char32_t cp = 0; cp <= 0x1FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const CodePointRange one[] = {{cp, cp}};
    const Ranges closure = case_fold_closure(one);
    if (cp > 0 && cp != 0xE000) {
      const CodePointRange pair[] = {{cp - 1, cp}};
      ASSERT_EQ(show(case_fold_closure(pair)), show(union_of(previous, closure))) << std::hex << static_cast<uint32_t>(cp);
    }
    previous = closure;
    if (closure.size() == 1 && closure[0].first == closure[0].last) continue;
    ++orbits;
    for (const CodePointRange& range : closure) {
      for (char32_t member = range.first; member <= range.last; ++member) {
        const CodePointRange other[] = {{member, member}};
        ASSERT_EQ(show(case_fold_closure(other)), show(closure))
            << std::hex << static_cast<uint32_t>(cp) << " " << static_cast<uint32_t>(member);
      }
    }
  }
  EXPECT_GT(orbits, 2800u);
}

// The folded form stored for each generated set is its closure, and the
// sets that folding leaves alone are recognised as such.
TEST(CaseFolding, GeneratedFoldedSetsAreTheClosures) {
  for (uint16_t set = 0; set < unicode_tables::kSetCount; ++set) {
    EXPECT_EQ(show(unicode_set(case_folded_set(set))), show(case_fold_closure(unicode_set(set)))) << set;
  }
  EXPECT_EQ(case_folded_set(unicode_tables::kWordSet), unicode_tables::kWordSet);
  const uint16_t upper = find_unicode_property("Lu")->set;
  EXPECT_NE(case_folded_set(upper), upper);
  EXPECT_TRUE(contains(unicode_set(case_folded_set(upper)), 'a'));
}

TEST(SetOperations, UnionAndNormalizeMergeAdjacentRuns) {
  EXPECT_EQ(show(union_of(Ranges{{1, 3}, {10, 12}}, Ranges{{4, 5}, {11, 20}, {30, 30}})), "1-5 A-14 1E-1E ");
  EXPECT_EQ(show(union_of(Ranges{}, Ranges{{7, 7}})), "7-7 ");
  Ranges ranges{{30, 31}, {1, 2}, {3, 9}, {5, 6}, {33, 40}, {32, 32}};
  normalize(ranges);
  EXPECT_EQ(show(ranges), "1-9 1E-28 ");
}

}  // namespace
}  // namespace vorlisk
