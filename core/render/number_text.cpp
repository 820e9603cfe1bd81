#include "core/render/number_text.h"

#include <charconv>
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
  const ShortestDigits s = shortest_digits(std::fabs(value));
  // Longest forms: "-0.0000" + 17 digits, or "-d." + 16 digits + "e-324".
  if (value < 0) *p++ = '-';
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
