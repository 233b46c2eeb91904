#include "json/format_double.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>

#include "json/powers_of_ten.hpp"

namespace ktarn::json {
namespace {

constexpr int kLowestPlainExponent = -5;
constexpr int kHighestPlainExponent = 15;

struct ShortestDigits {
  char digits[20];  // d1 .. dn, no point, no trailing zeros
  int count = 0;
  int exponent = 0;  // decimal exponent of d1
};

// The digits of m, scaled by 10^-fraction, without trailing zeros.
ShortestDigits digits_of(std::uint64_t m, int fraction) {
  ShortestDigits shortest;
  shortest.count = static_cast<int>(std::to_chars(shortest.digits, shortest.digits + 20, m).ptr -
                                    shortest.digits);
  shortest.exponent = shortest.count - 1 - fraction;
  while (shortest.digits[shortest.count - 1] == '0') --shortest.count;
  return shortest;
}

// Doubles read from a short decimal, the usual kind on the wire, are recognised here instead of
// by the standard library's search (what it buys: bench/README.md, "Speed tricks").
// DoubleWrites.DigitsAreTheShortestThatReadBack proves the digits equal to the search's, around
// 2^50 and 10^22 and on arbitrary bit patterns.
// For the fewest fraction digits f at which magnitude * 10^f rounds to an integer m whose
// quotient m / 10^f (one correctly rounded division, so exactly what reading "m e-f" gives) is
// magnitude again, m holds the shortest digits: any shorter string would have been found at a
// smaller f, because below 2^50 the product is within a quarter of its integer. It is also the
// only string of its length, since m - 1 and m + 1 lie more than four units in the last place
// away. Magnitudes that need larger integers or more than 22 fraction digits (10^22 is the
// largest power of ten a double holds exactly) are left to the search.
std::optional<ShortestDigits> short_decimal_digits(double magnitude) {
  constexpr double kLargest = 0x1p50;
  constexpr int kMaxFraction = 22;
  if (!(magnitude < kLargest)) return std::nullopt;
  // magnitude < 2^(e + 1), so at least floor(-(e + 1) * log10(2)) fraction digits are needed;
  // 78913 / 2^18 is just below log10(2), which keeps the first f tried from being too large.
  const int e = static_cast<int>((std::bit_cast<std::uint64_t>(magnitude) >> 52) & 0x7FF) - 1023;
  const int first = e < -1 ? (-(e + 1) * 78913) >> 18 : 0;
  for (int f = first; f <= kMaxFraction; ++f) {
    const double scaled = magnitude * kPowersOfTen[static_cast<std::size_t>(f)];
    if (!(scaled < kLargest)) return std::nullopt;
    const auto m = static_cast<std::uint64_t>(scaled + 0.5);
    if (static_cast<double>(m) / kPowersOfTen[static_cast<std::size_t>(f)] == magnitude) {
      return digits_of(m, f);
    }
  }
  return std::nullopt;
}

// The shortest round-trip digits of a positive finite magnitude; in general taken from the
// scientific form "d.ddde+XX" that the standard library produces for them.
ShortestDigits shortest_digits(double magnitude) {
  if (const auto digits = short_decimal_digits(magnitude)) return *digits;
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
