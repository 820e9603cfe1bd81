// Number texts shared by the JSON writer and the console line, so a number
// reads the same in both. Formatting goes through std::to_chars into a stack
// buffer: no locale, no printf, no intermediate string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorlisk {

// Room for any int64 text ("-9223372036854775808") and any float text.
inline constexpr size_t kIntTextMax = 20;
inline constexpr size_t kFloatTextMax = 40;

// Decimal digits, "-" first for negatives; the whole int64 range. Returns
// the length written to `text`.
size_t format_int_text(char (&text)[kIntTextMax], int64_t value);

// The float text of a finite double: the shortest digits that read back as
// the same double, positional with at least one fractional digit for
// decimal exponents -5..15 ("3.0", "0.00001", "1000000000000000.0"),
// scientific otherwise ("1e+16", "1.5e-7"); zero is "0.0" or "-0.0".
// Returns the length written, or 0 for NaN and the infinities, which each
// caller spells its own way.
size_t format_float_text(char (&text)[kFloatTextMax], double value);

// The same, appended to a std::string or a TextBuffer.
template <class Out>
void append_int_text(Out& out, int64_t value) {
  char text[kIntTextMax];
  out.append(text, format_int_text(text, value));
}

// Appends nothing and returns false for NaN and the infinities.
template <class Out>
bool append_float_text(Out& out, double value) {
  char text[kFloatTextMax];
  const size_t length = format_float_text(text, value);
  out.append(text, length);
  return length != 0;
}

}  // namespace vorlisk
