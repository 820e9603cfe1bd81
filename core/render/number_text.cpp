#include "core/render/number_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <iterator>
#include <cmath>

namespace vorlisk {
namespace {

constexpr int kMaxSignificantDigits = 17;
constexpr int kPositionalMinExponent = -5;
constexpr int kPositionalMaxExponent = 15;

// The shortest round-trip digits of |value| and the decimal exponent of the
// first one (value = d.ddd x 10^exponent), taken from to_chars' scientific
// form "d[.ddd]e±XX".
struct ShortestDigits {
  char digits[kMaxSignificantDigits];
  int count = 0;
  int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  ShortestDigits out;
  const char* p = text;
  for (; p < result.ptr && *p != 'e'; ++p) {
    if (*p != '.' && out.count < kMaxSignificantDigits) out.digits[out.count++] = *p;
  }
  // p now at 'e'; the exponent is "+XX" or "-XX".
  const bool negative = (p + 1 < result.ptr && p[1] == '-');
  int exponent = 0;
  for (const char* q = p + 2; q < result.ptr; ++q) exponent = exponent * 10 + (*q - '0');
  out.exponent = negative ? -exponent : exponent;
  return out;
}

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
constexpr uint64_t kIntegerPowersOfTen[] = {1,           10,           100,           1000,
                                            10000,       100000,       1000000,       10000000,
                                            100000000,   1000000000,   10000000000,   100000000000,
                                            1000000000000, 10000000000000, 100000000000000, 1000000000000000};
constexpr double kExactDigitsLimit = 1e15;

// Most floats in logs are short decimals, and many are exactly m / 10^k
// (3.0, 12.75, 0.5). A positive finite `magnitude` that is, for an integer
// m below 10^15 and the smallest such k, is written here without the
// general search. Its shortest round-trip digits are the digits of m: a
// text of fewer digits differs from it by at least 10^-k, or by more than
// 10^-15 of it, while half the gap to the next double is below both; and
// among texts of as many digits the exact one is the closest. Returns the length written
// from `p`, or 0 when the value is not of this form.
size_t format_exact_decimal(char* p, double magnitude) {
  const uint64_t bits = std::bit_cast<uint64_t>(magnitude);
  const int biased_exponent = static_cast<int>(bits >> 52);
  if (biased_exponent == 0) return 0;  // subnormal
  const uint64_t significand = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  // magnitude = significand * 2^exponent = odd * 2^-(fraction bits): it is
  // m / 10^k exactly from k = its fraction bits on.
  const int exponent = biased_exponent - 1075;
  const int fraction_bits = exponent >= 0 ? 0 : std::max(0, -exponent - std::countr_zero(significand));
  // Also keeps the value at 2^-15 or more; with m below 10^15 it is below
  // 10^15 too, so its text is positional.
  if (fraction_bits >= static_cast<int>(std::size(kPowersOfTen))) return 0;
  // Exact: the true product is an integer, below 2^53 unless refused here.
  const double scaled = magnitude * kPowersOfTen[fraction_bits];
  if (scaled >= kExactDigitsLimit) return 0;
  const auto m = static_cast<uint64_t>(scaled);
  const uint64_t unit = kIntegerPowersOfTen[fraction_bits];
  const uint64_t whole = m / unit;
  const uint64_t fraction = m % unit;
  char* const start = p;
  p = std::to_chars(p, p + kMaxSignificantDigits, whole).ptr;
  *p++ = '.';
  if (fraction_bits == 0) {
    *p++ = '0';
    return static_cast<size_t>(p - start);
  }
  // m is odd times 5^k: the last of the k fraction digits is never 0.
  p += fraction_bits;
  uint64_t rest = fraction;
  for (char* digit = p; digit != p - fraction_bits; rest /= 10) *--digit = static_cast<char>('0' + rest % 10);
  return static_cast<size_t>(p - start);
}

}  // namespace

size_t format_int_text(char (&text)[kIntTextMax], int64_t value) {
  return static_cast<size_t>(std::to_chars(text, text + kIntTextMax, value).ptr - text);
}

size_t format_float_text(char (&text)[kFloatTextMax], double value) {
  if (!std::isfinite(value)) return 0;
  char* p = text;
  if (value == 0.0) {
    if (std::signbit(value)) *p++ = '-';
    *p++ = '0';
    *p++ = '.';
    *p++ = '0';
    return static_cast<size_t>(p - text);
  }
  if (value < 0) *p++ = '-';
  if (const size_t length = format_exact_decimal(p, std::fabs(value))) {
    return static_cast<size_t>(p - text) + length;
  }
  const ShortestDigits s = shortest_digits(std::fabs(value));
  // Longest forms: "-0.0000" + 17 digits, or "-d." + 16 digits + "e-324".
  const int e = s.exponent;
  if (e >= kPositionalMinExponent && e <= kPositionalMaxExponent) {
    if (e < 0) {
      *p++ = '0';
      *p++ = '.';
      for (int i = 0; i < -e - 1; ++i) *p++ = '0';
      for (int i = 0; i < s.count; ++i) *p++ = s.digits[i];
    } else if (s.count <= e + 1) {
      for (int i = 0; i < s.count; ++i) *p++ = s.digits[i];
      for (int i = s.count; i < e + 1; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
    } else {
      for (int i = 0; i < e + 1; ++i) *p++ = s.digits[i];
      *p++ = '.';
      for (int i = e + 1; i < s.count; ++i) *p++ = s.digits[i];
    }
  } else {
    *p++ = s.digits[0];
    if (s.count > 1) {
      *p++ = '.';
      for (int i = 1; i < s.count; ++i) *p++ = s.digits[i];
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    p = std::to_chars(p, text + kFloatTextMax, e < 0 ? -e : e).ptr;
  }
  return static_cast<size_t>(p - text);
}

}  // namespace vorlisk
