#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/render/key_case.h"
#include "core/render/redaction.h"
#include "core/render/sensitive_keys.h"

namespace vorlisk {
namespace {

struct KeyCase {
  const char* key;
  bool sensitive;
};

class DefaultKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(DefaultKeys, WholeKeyIgnoringCase) {
  EXPECT_EQ(is_default_sensitive_key(GetParam().key), GetParam().sensitive) << GetParam().key;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, DefaultKeys,
    ::testing::Values(KeyCase{"password", true}, KeyCase{"Password", true},
                      KeyCase{"PASSWORD", true}, KeyCase{"api_key", true},
                      KeyCase{"Private_Key", true}, KeyCase{"ssn", true},
                      KeyCase{"TO\u212A" "EN", true},  // Kelvin sign lower-cases to "k"
                      KeyCase{"ACCESS_TO\u212A" "EN", true}, KeyCase{"Access_Token", true},
                      KeyCase{"private_kez", false}, KeyCase{"access_tokens", false},
                      KeyCase{"password_hint", false}, KeyCase{"user_token", false},
                      KeyCase{"passwords", false}, KeyCase{" password", false},
                      KeyCase{"", false}, KeyCase{"pa\u017F\u017Fword", false}));  // long s stays

struct ListCase {
  const char* key;
  const char* candidate;
  bool match;
};

class KeyList : public ::testing::TestWithParam<ListCase> {};

TEST_P(KeyList, FullLowerCaseMappingOutsideAscii) {
  const SensitiveKeys keys(std::vector<std::string>{GetParam().candidate});
  EXPECT_EQ(is_sensitive_key_in(GetParam().key, keys), GetParam().match)
      << GetParam().key << " vs " << GetParam().candidate;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyList,
    ::testing::Values(ListCase{"user", "user", true}, ListCase{"USER", "user", true},
                      ListCase{"user", "USER", true}, ListCase{"password", "user", false},
                      // U+0130 lower-cases to "i" + U+0307, never to a bare "i".
                      ListCase{"\u0130D", "i\u0307d", true}, ListCase{"\u0130D", "id", false},
                      ListCase{"ID", "\u0130D", false},
                      // A capital sigma at the end of a word is a final sigma.
                      ListCase{"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2", true},
                      ListCase{"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C3", false},
                      ListCase{"\u03A3\u0391", "\u03C3\u03B1", true},
                      ListCase{"STRASSE", "stra\u00DFe", false},
                      ListCase{"\u00C9T\u00C9", "\u00E9t\u00E9", true},
                      // A non-ASCII candidate whose lower-case form is ASCII.
                      ListCase{"Token", "TO\u212A" "EN", true}, ListCase{"Toke", "TO\u212A" "EN", false},
                      ListCase{"", "", true}, ListCase{"a", "", false},
                      // An ASCII head with a tail whose lower-case form is longer.
                      ListCase{"ABCDEFGH\u0130", "abcdefghi\u0307", true},
                      ListCase{"ABCDEFGH\u0130", "abcdefghi", false},
                      // Not UTF-8: neither side is lower-cased, so only equal bytes match.
                      ListCase{"PASSWORD\xFF", "PASSWORD\xFF", true},
                      ListCase{"password\xFF", "PASSWORD\xFF", false},
                      // Only "A".."Z" fold: the bytes next to them stay.
                      ListCase{"@", "`", false}, ListCase{"[", "{", false}, ListCase{"AZ", "az", true}));

// Many candidates of one length, duplicates, and keys past the lengths the
// matcher indexes one by one.
TEST(KeyList, LookupAmongManyCandidates) {
  const std::string long_key(70, 'K');
  const std::string longer_key(71, 'k');
  const SensitiveKeys keys(std::vector<std::string>{"abc", "ABD", "abe", "abc", "x", long_key, longer_key,
                                                    "\u00C9T\u00C9"});
  for (const std::string& key : {std::string("ABC"), std::string("abd"), std::string("aBe"), std::string("X"),
                                 std::string(70, 'k'), std::string(71, 'K'), std::string("\u00E9t\u00E9")}) {
    EXPECT_TRUE(keys.matches(key)) << key;
  }
  for (const std::string& key : {std::string("abf"), std::string("ab"), std::string("abcd"), std::string(69, 'k'),
                                 std::string(72, 'k'), std::string("\u00E9t")}) {
    EXPECT_FALSE(keys.matches(key)) << key;
  }
  EXPECT_FALSE(SensitiveKeys(std::vector<std::string>{}).matches("password"));
}

TEST(UnicodeLowercase, MatchesPythonStrLower) {
  // Expected texts are Python's str.lower of the inputs.
  EXPECT_EQ(unicode_lowercase("ABC xyz 09"), "abc xyz 09");
  EXPECT_EQ(unicode_lowercase("\u0130stanbul"), "i\u0307stanbul");
  EXPECT_EQ(unicode_lowercase("A\u03A3."), "a\u03C2.");            // final sigma before "."
  EXPECT_EQ(unicode_lowercase("A\u03A3'B"), "a\u03C3'b");          // "'" is skipped, "b" follows
  EXPECT_EQ(unicode_lowercase("\u10A0\U00010400"), "\u2D00\U00010428");
  EXPECT_EQ(unicode_lowercase("\xFF\x41"), "\xFF\x41");  // not UTF-8: left as it is
}

Value map_of(std::vector<std::pair<std::string, Value>> items) {
  FieldMap map;
  for (auto& [key, value] : items) map.append(key, std::move(value));
  return Value::map(std::move(map));
}

TEST(RedactSensitiveKeys, ReplacesWholeSubtreesAtAnyDepth) {
  Value inner = map_of({{"a", Value::integer(1)}});
  Value root = map_of({
      {"user", map_of({{"token", std::move(inner)}})},
      {"items", Value::list({map_of({{"secret", Value::integer(5)}, {"ok", Value::integer(6)}}),
                             map_of({{"ok", Value::integer(7)}})})},
      {"password", Value::list({Value::integer(1)})},
  });
  redact_sensitive_keys(root);

  const FieldMap& top = root.as_map();
  ASSERT_EQ(top.size(), 3u);
  const FieldMap& user = top.find("user")->as_map();
  ASSERT_EQ(user.size(), 1u);
  EXPECT_EQ(user.find("token")->as_str(), "[REDACTED]");
  const Value::List& items = top.find("items")->as_list();
  EXPECT_EQ(items[0].as_map().find("secret")->as_str(), "[REDACTED]");
  EXPECT_EQ(items[0].as_map().find("ok")->as_int(), 6);
  EXPECT_EQ(items[1].as_map().find("ok")->as_int(), 7);
  EXPECT_EQ(top.find("password")->as_str(), "[REDACTED]");
  EXPECT_EQ(top.entries()[2].key, "password");  // keys and positions never change
}

TEST(RedactSensitiveKeys, GivenListReplacesTheDefaults) {
  Value root = map_of({{"password", Value::str("p")}, {"User", Value::str("u")}});
  redact_sensitive_keys_with(root, SensitiveKeys(std::vector<std::string>{"user"}));
  EXPECT_EQ(root.as_map().find("password")->as_str(), "p");
  EXPECT_EQ(root.as_map().find("User")->as_str(), "[REDACTED]");

  redact_sensitive_keys_with(root, SensitiveKeys(std::vector<std::string>{}));
  EXPECT_EQ(root.as_map().find("password")->as_str(), "p");
}

}  // namespace
}  // namespace vorlisk
