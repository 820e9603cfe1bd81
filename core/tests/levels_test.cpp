#include "core/value/levels.h"

#include <gtest/gtest.h>

#include <string>

namespace vorlisk {
namespace {

struct LevelCase {
  const char* name;
  std::optional<uint8_t> parsed;
  const char* canonical;
  uint8_t severity_of_canonical;
};

class LevelNames : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LevelNames, ParseCanonicalAndSeverity) {
  const LevelCase& c = GetParam();
  EXPECT_EQ(parse_level_name(c.name), c.parsed) << c.name;
  const std::string canonical = canonical_level_name(c.name);
  EXPECT_EQ(canonical, c.canonical) << c.name;
  EXPECT_EQ(severity_for_level(canonical), c.severity_of_canonical) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, LevelNames,
    ::testing::Values(LevelCase{"trace", 5, "DEBUG", 7}, LevelCase{"TrAcE", 5, "DEBUG", 7},
                      LevelCase{"debug", 10, "DEBUG", 7}, LevelCase{"Success", 20, "INFO", 6},
                      LevelCase{"info", 20, "INFO", 6}, LevelCase{"WARNING", 30, "WARN", 4},
                      LevelCase{"warn", 30, "WARN", 4}, LevelCase{"Exception", 40, "ERROR", 3},
                      LevelCase{"fatal", 50, "CRITICAL", 2},
                      LevelCase{"critical", 50, "CRITICAL", 2},
                      LevelCase{"notice", std::nullopt, "NOTICE", 6},
                      LevelCase{"", std::nullopt, "", 6},
                      LevelCase{" info", std::nullopt, " INFO", 6},
                      LevelCase{"in fo", std::nullopt, "IN FO", 6},
                      LevelCase{"info ", std::nullopt, "INFO ", 6},
                      LevelCase{"informational_level_", std::nullopt, "INFORMATIONAL_LEVEL_", 6},
                      // "\xc4\xb1" is the dotless i: never folded, kept as it is.
                      LevelCase{"\xc4\xb1nfo", std::nullopt, "\xc4\xb1NFO", 6}));

TEST(Severity, IsExactAndCaseSensitive) {
  EXPECT_EQ(severity_for_level("WARNING"), 6);
  EXPECT_EQ(severity_for_level("WARN"), 4);
  EXPECT_EQ(severity_for_level("info"), 6);
  EXPECT_EQ(severity_for_level("ERROR"), 3);
  EXPECT_EQ(severity_for_level(""), 6);
}

TEST(ParseLevelName, LengthsOutsideTheTableNeverMatch) {
  EXPECT_FALSE(parse_level_name("infos"));
  EXPECT_FALSE(parse_level_name("errors"));  // 6 bytes: no method has 6
  EXPECT_FALSE(parse_level_name(std::string(20, 'a')));
  EXPECT_EQ(parse_level_name("ERROR"), 40);
}

}  // namespace
}  // namespace vorlisk
