// The value tree: what every field of a log record becomes before it is
// redacted and rendered, so that neither step touches the interpreter.
//
//   Value      one of eight kinds (Null, Bool, Int, Float, Str, List, Map,
//              BigInt); owns its subtree; copies are deep.
//   FieldMap   ordered (key, Value) entries with unique keys compared as
//              exact bytes; setting an existing key keeps its position.
//
// Nothing here is thread-aware: a tree belongs to the one call that builds
// and renders it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vorlisk {

class Value;
struct FieldEntry;

class FieldMap {
 public:
  FieldMap() = default;
  explicit FieldMap(std::vector<FieldEntry> entries);

  size_t size() const;  // these three are defined below FieldEntry
  bool empty() const;
  void reserve(size_t n);

  std::vector<FieldEntry>& entries() { return entries_; }
  const std::vector<FieldEntry>& entries() const { return entries_; }

  // Appends without searching; the caller guarantees the key is new (or
  // restores uniqueness afterwards with dedupe_fields).
  void append(std::string key, Value value);

  // Front-to-back search for an entry with exactly these key bytes.
  Value* find(std::string_view key);
  const Value* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }

 private:
  std::vector<FieldEntry> entries_;
};

struct BigIntText {
  std::string digits;  // decimal, "-" first when negative
  friend bool operator==(const BigIntText&, const BigIntText&) = default;
};

class Value {
 public:
  enum class Kind : uint8_t { Null, Bool, Int, Float, Str, List, Map, BigInt };
  using List = std::vector<Value>;

  // The factories are defined below FieldEntry: clang instantiates the
  // constexpr members of std::vector<FieldEntry> as soon as a body in this
  // class destroys a payload, and FieldEntry must be complete by then.
  Value() = default;  // Null
  static Value null();
  static Value boolean(bool b);
  static Value integer(int64_t i);
  static Value floating(double d);
  static Value str(std::string s);
  static Value list(List items);
  static Value map(FieldMap m);
  static Value big_int(std::string digits);

  Kind kind() const { return static_cast<Kind>(payload_.index()); }
  bool is_null() const { return kind() == Kind::Null; }

  // Accessors; the kind must match.
  bool as_bool() const { return std::get<1>(payload_); }
  int64_t as_int() const { return std::get<2>(payload_); }
  double as_float() const { return std::get<3>(payload_); }
  const std::string& as_str() const { return std::get<4>(payload_); }
  std::string& as_str() { return std::get<4>(payload_); }
  const List& as_list() const { return std::get<5>(payload_); }
  List& as_list() { return std::get<5>(payload_); }
  const FieldMap& as_map() const { return std::get<6>(payload_); }
  FieldMap& as_map() { return std::get<6>(payload_); }
  const std::string& as_big_int() const { return std::get<7>(payload_).digits; }
  std::string& as_big_int() { return std::get<7>(payload_).digits; }

 private:
  using Payload =
      std::variant<std::monostate, bool, int64_t, double, std::string, List, FieldMap, BigIntText>;
  explicit Value(Payload p);

  Payload payload_;
};

struct FieldEntry {
  std::string key;
  Value value;
};

inline FieldMap::FieldMap(std::vector<FieldEntry> entries) : entries_(std::move(entries)) {}
inline size_t FieldMap::size() const { return entries_.size(); }
inline bool FieldMap::empty() const { return entries_.empty(); }
inline void FieldMap::reserve(size_t n) { entries_.reserve(n); }

inline Value::Value(Payload p) : payload_(std::move(p)) {}
inline Value Value::null() { return Value(); }
inline Value Value::boolean(bool b) { return Value(Payload(std::in_place_index<1>, b)); }
inline Value Value::integer(int64_t i) { return Value(Payload(std::in_place_index<2>, i)); }
inline Value Value::floating(double d) { return Value(Payload(std::in_place_index<3>, d)); }
inline Value Value::str(std::string s) { return Value(Payload(std::in_place_index<4>, std::move(s))); }
inline Value Value::list(List items) { return Value(Payload(std::in_place_index<5>, std::move(items))); }
inline Value Value::map(FieldMap m) { return Value(Payload(std::in_place_index<6>, std::move(m))); }
inline Value Value::big_int(std::string digits) {
  return Value(Payload(std::in_place_index<7>, BigIntText{std::move(digits)}));
}

inline void FieldMap::append(std::string key, Value value) {
  entries_.push_back(FieldEntry{std::move(key), std::move(value)});
}

// Sets `key` to `value`: an existing entry with the same bytes keeps its
// position and key text and takes the new value; otherwise the entry is
// appended. The owned-key form moves the key in only when it appends.
void record_set_field(FieldMap& map, std::string_view key, Value value);
void record_set_field(FieldMap& map, std::string&& key, Value value);

// Restores unique keys in place: each distinct key stays at the position of
// its first occurrence, with that occurrence's key text and the value of its
// last occurrence. Pairwise up to 16 entries, hashed (random-keyed) above.
void dedupe_fields(FieldMap& map);

struct ConversionStats {
  uint64_t nodes = 0;
  uint64_t max_depth = 0;
};

// Counts `value` and every list element and map value below it (map keys
// are not nodes); `depth` is the depth of `value` itself.
void count_value_nodes(const Value& value, uint64_t depth, ConversionStats& stats);

}  // namespace vorlisk
