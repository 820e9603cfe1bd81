#include "core/value/value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlisk {
namespace {

FieldMap ints(std::initializer_list<std::pair<const char*, int64_t>> items) {
  FieldMap map;
  for (const auto& [key, value] : items) map.append(key, Value::integer(value));
  return map;
}

std::vector<std::pair<std::string, int64_t>> dump(const FieldMap& map) {
  std::vector<std::pair<std::string, int64_t>> out;
  for (const FieldEntry& entry : map.entries()) out.emplace_back(entry.key, entry.value.as_int());
  return out;
}

using Dump = std::vector<std::pair<std::string, int64_t>>;

TEST(RecordSetField, ExistingKeyKeepsItsPosition) {
  FieldMap map = ints({{"a", 1}, {"level", 2}, {"b", 3}});
  record_set_field(map, std::string_view("level"), Value::integer(9));
  EXPECT_EQ(dump(map), (Dump{{"a", 1}, {"level", 9}, {"b", 3}}));
}

TEST(RecordSetField, NewKeyIsAppendedAndCaseMatters) {
  FieldMap map = ints({{"a", 1}});
  record_set_field(map, std::string("A"), Value::integer(2));
  EXPECT_EQ(dump(map), (Dump{{"a", 1}, {"A", 2}}));
  EXPECT_TRUE(map.contains("A"));
  EXPECT_FALSE(map.contains("b"));
}

TEST(DedupeFields, FirstPositionLastValue) {
  FieldMap map = ints({{"x", 1}, {"y", 2}, {"x", 3}});
  dedupe_fields(map);
  EXPECT_EQ(dump(map), (Dump{{"x", 3}, {"y", 2}}));

  FieldMap triple = ints({{"x", 1}, {"x", 2}, {"x", 3}});
  dedupe_fields(triple);
  EXPECT_EQ(dump(triple), (Dump{{"x", 3}}));
}

TEST(DedupeFields, EmptyAndSingleAreUntouched) {
  FieldMap empty;
  dedupe_fields(empty);
  EXPECT_TRUE(empty.empty());
  FieldMap one = ints({{"k", 1}});
  dedupe_fields(one);
  EXPECT_EQ(dump(one), (Dump{{"k", 1}}));
}

// Builds n entries whose keys repeat with period `distinct`; the expected
// result keeps the first `distinct` keys in order with their last values.
class DedupeSizes : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(DedupeSizes, PairwiseAndHashedAgree) {
  const auto [n, distinct] = GetParam();
  FieldMap map;
  Dump expected(static_cast<size_t>(distinct));
  for (int i = 0; i < n; ++i) {
    const std::string key = "k" + std::to_string(i % distinct);
    map.append(key, Value::integer(i));
    expected[static_cast<size_t>(i % distinct)] = {key, i};
  }
  dedupe_fields(map);
  EXPECT_EQ(dump(map), expected);
}

INSTANTIATE_TEST_SUITE_P(AroundTheSwitch, DedupeSizes,
                         ::testing::Values(std::pair{16, 5}, std::pair{16, 16}, std::pair{17, 5},
                                           std::pair{17, 17}, std::pair{17, 16},
                                           std::pair{100, 33}));

TEST(DedupeFields, CaseDistinctKeysStaySeparate) {
  FieldMap map;
  for (int i = 0; i < 20; ++i) map.append(i % 2 ? "Key" : "key", Value::integer(i));
  dedupe_fields(map);
  EXPECT_EQ(dump(map), (Dump{{"key", 18}, {"Key", 19}}));
}

TEST(DedupeFields, KeepsFirstKeyTextAndNestedValues) {
  FieldMap map;
  map.append("a", Value::str("first"));
  map.append("b", Value::list({Value::integer(1)}));
  map.append("a", Value::map(ints({{"z", 7}})));
  dedupe_fields(map);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.entries()[0].key, "a");
  EXPECT_EQ(map.entries()[0].value.as_map().entries()[0].value.as_int(), 7);
  EXPECT_EQ(map.entries()[1].value.as_list().size(), 1u);
}

TEST(Value, CopiesAreDeep) {
  FieldMap inner = ints({{"n", 1}});
  Value original = Value::map(std::move(inner));
  Value copy = original;
  copy.as_map().entries()[0].value = Value::str("changed");
  EXPECT_EQ(original.as_map().entries()[0].value.as_int(), 1);
  EXPECT_EQ(Value::big_int("-12").kind(), Value::Kind::BigInt);
  EXPECT_EQ(Value().kind(), Value::Kind::Null);
}

TEST(CountValueNodes, CountsValuesNotKeys) {
  ConversionStats scalar;
  count_value_nodes(Value::integer(5), 1, scalar);
  EXPECT_EQ(scalar.nodes, 1u);
  EXPECT_EQ(scalar.max_depth, 1u);

  ConversionStats pair;
  count_value_nodes(Value::list({Value::integer(1), Value::null()}), 1, pair);
  EXPECT_EQ(pair.nodes, 3u);
  EXPECT_EQ(pair.max_depth, 2u);

  FieldMap m;
  m.append("a", Value::list({Value::integer(1), Value::integer(2)}));
  ConversionStats nested;
  count_value_nodes(Value::map(std::move(m)), 1, nested);
  EXPECT_EQ(nested.nodes, 4u);
  EXPECT_EQ(nested.max_depth, 3u);

  ConversionStats empty;
  count_value_nodes(Value::map(FieldMap()), 1, empty);
  EXPECT_EQ(empty.nodes, 1u);
  EXPECT_EQ(empty.max_depth, 1u);
}

}  // namespace
}  // namespace vorlisk
