// Builds value trees from fuzzer bytes: every kind, nesting up to a fixed
// depth, strings of any code points (controls, quotes, bidirectional marks),
// floats from raw bits, and big-integer texts that are digits, text or
// arbitrary bytes.
#pragma once

#include <cstring>
#include <string>

#include "core/value/value.h"
#include "fuzz/fuzz_input.h"

namespace vorlisk::fuzz {

inline constexpr int kMaxDepth = 6;

inline std::string big_int_text(FuzzInput& in) {
  switch (in.byte() % 4) {
    case 0: {  // what the conversion makes: an optional "-" and digits
      std::string text = (in.byte() & 1) ? "-" : "";
      const size_t n = 1 + in.byte() % 40;
      for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('0' + in.byte() % 10));
      return text;
    }
    case 1:
      return in.utf8(24);
    default:
      return in.bytes(48);
  }
}

inline Value build_value(FuzzInput& in, int depth) {
  switch (in.byte() % 10) {
    case 0:
      return Value::null();
    case 1:
      return Value::boolean(in.byte() & 1);
    case 2:
      return Value::integer(static_cast<int64_t>(in.u64()));
    case 3: {
      const uint64_t bits = in.u64();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return Value::floating(d);
    }
    case 4:
    case 5:
      return Value::str(in.utf8(40));
    case 6: {
      Value::List items;
      if (depth < kMaxDepth) {
        const size_t n = in.byte() % 6;
        for (size_t i = 0; i < n && !in.empty(); ++i) items.push_back(build_value(in, depth + 1));
      }
      return Value::list(std::move(items));
    }
    case 7: {
      FieldMap map;
      if (depth < kMaxDepth) {
        const size_t n = in.byte() % 6;
        for (size_t i = 0; i < n && !in.empty(); ++i) {
          std::string key = in.utf8(12);
          map.append(std::move(key), build_value(in, depth + 1));
        }
      }
      return Value::map(std::move(map));
    }
    default:
      return Value::big_int(big_int_text(in));
  }
}

// A record's fields: up to eight entries with short keys, some of them the
// names the renderers treat specially.
inline FieldMap build_fields(FuzzInput& in) {
  static constexpr const char* kSpecialKeys[] = {"level", "logger", "message", "severity", "timestamp",
                                                 "service", "stack", "exception", "_vorlisk_redacted",
                                                 "password"};
  FieldMap fields;
  const size_t n = in.byte() % 9;
  for (size_t i = 0; i < n && !in.empty(); ++i) {
    const uint8_t pick = in.byte();
    std::string key = pick < 100 ? std::string(kSpecialKeys[pick % 10]) : in.utf8(10);
    if (fields.contains(key)) continue;
    fields.append(std::move(key), build_value(in, 1));
  }
  return fields;
}

}  // namespace vorlisk::fuzz
