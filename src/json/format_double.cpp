#include "json/format_double.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace ktarn::json {
namespace {

constexpr int kLowestPlainExponent = -5;
constexpr int kHighestPlainExponent = 15;

struct ShortestDigits {
  char digits[20];  // d1 .. dn, no point, no trailing zeros
  int count = 0;
  int exponent = 0;  // decimal exponent of d1
};

// The shortest round-trip digits of a positive finite magnitude, taken from the scientific form
// "d.ddde+XX" that the standard library produces for them.
ShortestDigits shortest_digits(double magnitude) {
  char text[32];
  const auto result =
      std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  const std::string_view form(text, static_cast<std::size_t>(result.ptr - text));
  const std::size_t mark = form.find('e');
  ShortestDigits shortest;
  for (const char c : form.substr(0, mark)) {
    if (c != '.') shortest.digits[shortest.count++] = c;
  }
  std::string_view exponent = form.substr(mark + 1);
  const bool negative = exponent.front() == '-';
  exponent.remove_prefix(1);
  std::from_chars(exponent.data(), exponent.data() + exponent.size(), shortest.exponent);
  if (negative) shortest.exponent = -shortest.exponent;
  return shortest;
}

char* put(char* out, const char* text, std::size_t count) {
  std::memcpy(out, text, count);
  return out + count;
}

char* put_zeros(char* out, int count) {
  std::memset(out, '0', static_cast<std::size_t>(count));
  return out + count;
}

char* write_exponent_form(char* out, const ShortestDigits& d) {
  *out++ = d.digits[0];
  if (d.count > 1) {
    *out++ = '.';
    out = put(out, d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  *out++ = 'e';
  *out++ = d.exponent < 0 ? '-' : '+';
  return std::to_chars(out, out + 8, std::abs(d.exponent)).ptr;
}

char* write_plain_form(char* out, const ShortestDigits& d) {
  const auto count = static_cast<std::size_t>(d.count);
  if (d.exponent < 0) {
    out = put(out, "0.", 2);
    out = put_zeros(out, -d.exponent - 1);
    return put(out, d.digits, count);
  }
  if (d.exponent >= d.count - 1) {
    out = put(out, d.digits, count);
    out = put_zeros(out, d.exponent + 1 - d.count);
    return put(out, ".0", 2);
  }
  const auto integer_digits = static_cast<std::size_t>(d.exponent + 1);
  out = put(out, d.digits, integer_digits);
  *out++ = '.';
  return put(out, d.digits + integer_digits, count - integer_digits);
}

}  // namespace

char* write_double(char* out, double x) {
  if (!std::isfinite(x)) return put(out, "null", 4);
  if (std::signbit(x)) *out++ = '-';
  if (x == 0) return put(out, "0.0", 3);
  const ShortestDigits digits = shortest_digits(std::fabs(x));
  if (digits.exponent < kLowestPlainExponent || digits.exponent > kHighestPlainExponent) {
    return write_exponent_form(out, digits);
  }
  return write_plain_form(out, digits);
}

}  // namespace ktarn::json
