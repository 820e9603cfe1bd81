#include "core/pattern/replacement.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlisk {
namespace {

// The match "ab" of a pattern with three groups: 1 unnamed ("a"), 2 called
// "k" ("b"), 3 called "k" too and not taking part. The lookup answers ""
// with the unnamed group, as a careless engine would, so that only the
// template stands between "${}" and the text of group 1.
class ThreeGroups final : public GroupNames {
 public:
  size_t capture_group_count() const override { return 3; }
  void numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const override {
    if (name.empty()) numbers.push_back(1);
    if (name == "k") numbers.insert(numbers.end(), {2, 3});
  }
};

std::optional<std::string_view> group_text(uint32_t number) {
  static constexpr std::string_view kTexts[] = {"ab", "a", "b"};
  if (number < 3) return kTexts[number];
  return std::nullopt;
}

std::string expand(std::string_view replacement) {
  const ThreeGroups groups;
  const ReplacementTemplate expansion(replacement, groups);
  std::string out;
  expansion.expand(out, group_text);
  return out;
}

struct ExpandCase {
  const char* replacement;
  const char* expected;
};

class Expand : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(Expand, AppendsWhatTheReferencesName) {
  EXPECT_EQ(expand(GetParam().replacement), GetParam().expected) << GetParam().replacement;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Expand,
    ::testing::Values(
        // No group is called "".
        ExpandCase{"${}", ""}, ExpandCase{"<${}>", "<>"}, ExpandCase{"${}${}$$", "$"},
        // A "$" that starts no reference is itself, wherever it stands.
        ExpandCase{"$", "$"}, ExpandCase{"x$", "x$"}, ExpandCase{"$-$ $}", "$-$ $}"},
        ExpandCase{"$\u00E9", "$\u00E9"}, ExpandCase{"${", "${"}, ExpandCase{"${1", "${1"},
        ExpandCase{"${1$2", "${1b"}, ExpandCase{"$$", "$"}, ExpandCase{"$$1", "$1"},
        // Names: braces take any text, a bare name the longest run.
        ExpandCase{"${1}x", "ax"}, ExpandCase{"$1x", ""}, ExpandCase{"${k}}", "b}"},
        ExpandCase{"$k$", "b$"}, ExpandCase{"${ k}", ""}, ExpandCase{"${k}$k", "bb"},
        // Numbers: leading zeros, group 0, groups absent or not taking part.
        ExpandCase{"$0|$01|${002}", "ab|a|b"}, ExpandCase{"$3$4$99999999999999999999", ""}));

}  // namespace
}  // namespace vorlisk
