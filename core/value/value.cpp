#include "core/value/value.h"

#include <optional>
#include <unordered_map>

#include "core/base/siphash.h"

namespace vorlisk {
namespace {

constexpr size_t kPairwiseDedupeLimit = 16;

FieldEntry* find_entry(std::vector<FieldEntry>& entries, std::string_view key) {
  for (FieldEntry& entry : entries) {
    if (entry.key == key) return &entry;
  }
  return nullptr;
}

void dedupe_pairwise(std::vector<FieldEntry>& entries) {
  size_t i = 1;
  while (i < entries.size()) {
    std::optional<size_t> match;
    for (size_t j = 0; j < i; ++j) {
      if (entries[j].key == entries[i].key) {
        match = j;
        break;
      }
    }
    if (!match) {
      ++i;
      continue;
    }
    entries[*match].value = std::move(entries[i].value);
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void dedupe_hashed(std::vector<FieldEntry>& entries) {
  std::unordered_map<std::string_view, size_t, KeyedTextHash, std::equal_to<>> slot_of;
  slot_of.reserve(entries.size());
  std::vector<size_t> slots;
  slots.reserve(entries.size());
  for (const FieldEntry& entry : entries) {
    const auto [it, inserted] = slot_of.try_emplace(entry.key, slot_of.size());
    slots.push_back(it->second);
  }
  if (slot_of.size() == entries.size()) return;
  const size_t distinct = slot_of.size();
  slot_of.clear();  // its keys view `entries`, which are moved below

  std::vector<std::optional<FieldEntry>> filled(distinct);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::optional<FieldEntry>& slot = filled[slots[i]];
    if (!slot) {
      slot.emplace(std::move(entries[i]));
    } else {
      slot->value = std::move(entries[i].value);
    }
  }
  entries.clear();
  for (std::optional<FieldEntry>& slot : filled) entries.push_back(std::move(*slot));
}

}  // namespace

Value* FieldMap::find(std::string_view key) {
  FieldEntry* entry = find_entry(entries_, key);
  return entry ? &entry->value : nullptr;
}

const Value* FieldMap::find(std::string_view key) const {
  for (const FieldEntry& entry : entries_) {
    if (entry.key == key) return &entry.value;
  }
  return nullptr;
}

void record_set_field(FieldMap& map, std::string_view key, Value value) {
  if (Value* existing = map.find(key)) {
    *existing = std::move(value);
  } else {
    map.append(std::string(key), std::move(value));
  }
}

void record_set_field(FieldMap& map, std::string&& key, Value value) {
  if (Value* existing = map.find(key)) {
    *existing = std::move(value);
  } else {
    map.append(std::move(key), std::move(value));
  }
}

void dedupe_fields(FieldMap& map) {
  std::vector<FieldEntry>& entries = map.entries();
  if (entries.size() < 2) return;
  if (entries.size() <= kPairwiseDedupeLimit) {
    dedupe_pairwise(entries);
  } else {
    dedupe_hashed(entries);
  }
}

void count_value_nodes(const Value& value, uint64_t depth, ConversionStats& stats) {
  stats.nodes += 1;
  if (depth > stats.max_depth) stats.max_depth = depth;
  switch (value.kind()) {
    case Value::Kind::List:
      for (const Value& item : value.as_list()) count_value_nodes(item, depth + 1, stats);
      break;
    case Value::Kind::Map:
      for (const FieldEntry& entry : value.as_map().entries()) {
        count_value_nodes(entry.value, depth + 1, stats);
      }
      break;
    default:
      break;
  }
}

}  // namespace vorlisk
