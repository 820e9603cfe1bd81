// Number texts shared by the JSON writer and the console line, so a number
// reads the same in both. Formatting goes through std::to_chars into a stack
// buffer: no locale, no printf, no intermediate string.
#pragma once

#include <cstdint>
#include <string>

namespace vorlisk {

// Decimal digits, "-" first for negatives; the whole int64 range.
void append_int_text(std::string& out, int64_t value);

// The float text of a finite double: the shortest digits that read back as
// the same double, positional with at least one fractional digit for
// decimal exponents -5..15 ("3.0", "0.00001", "1000000000000000.0"),
// scientific otherwise ("1e+16", "1.5e-7"); zero is "0.0" or "-0.0".
// Returns false and appends nothing for NaN and the infinities, which each
// caller spells its own way.
bool append_float_text(std::string& out, double value);

}  // namespace vorlisk
