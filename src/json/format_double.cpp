#include "json/format_double.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include "json/powers_of_ten.hpp"
#include "json/read_number.hpp"

namespace ktarn::json {
namespace {

constexpr int kLowestPlainExponent = -5;
constexpr int kHighestPlainExponent = 15;
constexpr std::uint64_t kMaxSignificand = std::numeric_limits<std::uint64_t>::max();
constexpr int kMaxSignificandDigits = 20;

struct ShortestDigits {
  char digits[kMaxSignificandDigits];  // d1 .. dn, no point
  int count = 0;
  int exponent = 0;  // decimal exponent of d1
  // Known to be what the reader takes back to the magnitude, so that it need not be read back.
  bool reads_back = false;
};

bool is_plain(int exponent) {
  return exponent >= kLowestPlainExponent && exponent <= kHighestPlainExponent;
}

// Every digit of significand * 10^exponent, trailing zeros included.
ShortestDigits all_digits_of(std::uint64_t significand, int exponent) {
  ShortestDigits d;
  d.count = static_cast<int>(
      std::to_chars(d.digits, d.digits + kMaxSignificandDigits, significand).ptr - d.digits);
  d.exponent = exponent + d.count - 1;
  return d;
}

// The digits of m, scaled by 10^-fraction, without trailing zeros, for an m / 10^fraction that
// is the magnitude. With a fraction and no zero to drop, the text has fraction digits and reads
// as exactly m and -fraction, so it reads back.
ShortestDigits digits_of(std::uint64_t m, int fraction) {
  ShortestDigits shortest = all_digits_of(m, -fraction);
  shortest.reads_back = fraction > 0 && m % 10 != 0;
  while (shortest.digits[shortest.count - 1] == '0') --shortest.count;
  return shortest;
}

// The decimal exponent written after the 'e' of a scientific form.
int written_exponent(std::string_view form) {
  std::string_view text = form.substr(form.find('e') + 1);
  const bool negative = text.front() == '-';
  text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(text.data(), text.data() + text.size(), exponent);
  return negative ? -exponent : exponent;
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

// The shortest digits that a correctly rounded conversion takes back to a positive finite
// magnitude; in general taken from the scientific form "d.ddde+XX" that the standard library
// produces for them.
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
  shortest.exponent = written_exponent(form);
  return shortest;
}

// What a reader of the protocol makes of the text the layout below gives d: the digits at their
// own place, except in the plain layout without fraction digits, whose zeros and ".0" are digits
// to the reader too ("100.0" is 1000 at exponent -1).
std::optional<double> read_back(const ShortestDigits& d) {
  std::uint64_t significand = 0;
  for (int i = 0; i < d.count; ++i) {
    significand = significand * 10 + static_cast<unsigned>(d.digits[i] - '0');
  }
  if (is_plain(d.exponent) && d.exponent >= d.count - 1) {
    for (int i = d.count - 1; i <= d.exponent; ++i) significand *= 10;
    return decimal_to_double(significand, -1);
  }
  return decimal_to_double(significand, d.exponent - d.count + 1);
}

// The reader's value of significand * 10^exponent; an overflow lies above every double.
double read_value(std::uint64_t significand, int exponent) {
  return decimal_to_double(significand, exponent).value_or(std::numeric_limits<double>::infinity());
}

// Appends a digit to a significand, holding it at the largest one.
void append_digit(std::uint64_t& significand, unsigned digit) {
  significand =
      significand > (kMaxSignificand - digit) / 10 ? kMaxSignificand : significand * 10 + digit;
}

// magnitude / 10^exponent rounded to an integer, ties to even, by the standard library, for an
// exponent at most leading, the decimal exponent of magnitude's first digit.
std::uint64_t rounded_significand(double magnitude, int leading, int exponent) {
  char text[48];
  const auto result = std::to_chars(text, text + sizeof text, magnitude,
                                    std::chars_format::scientific, leading - exponent);
  const std::string_view form(text, static_cast<std::size_t>(result.ptr - text));
  std::uint64_t significand = 0;
  for (const char c : form.substr(0, form.find('e'))) {
    if (c != '.') append_digit(significand, static_cast<unsigned>(c - '0'));
  }
  // Rounded up to the next power of ten, the digits start one place higher.
  if (written_exponent(form) > leading) append_digit(significand, 0);
  return significand;
}

// A magnitude's first digits, correctly rounded to 41, and the decimal exponent of the first. No
// double lies within 10^-40 of a power of ten it is below, so the rounding never carries into a
// new first digit.
struct LeadingDigits {
  static constexpr int kCount = 41;
  char digits[kCount];
  int exponent = 0;
};

LeadingDigits leading_digits_of(double magnitude) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, magnitude,
                                    std::chars_format::scientific, LeadingDigits::kCount - 1);
  const std::string_view form(text, static_cast<std::size_t>(result.ptr - text));
  LeadingDigits leading;
  int count = 0;
  for (const char c : form.substr(0, form.find('e'))) {
    if (c != '.') leading.digits[count++] = c;
  }
  leading.exponent = written_exponent(form);
  return leading;
}

// magnitude / 10^exponent rounded to an integer, ties to even, for an exponent at most the
// leading one; held at the largest significand. The 41 digits decide the rounding, except where
// those past the integer are a 5 and zeros, which the rounding to 41 digits may have made: then
// the magnitude itself is rounded afresh.
std::uint64_t nearest_significand(double magnitude, const LeadingDigits& leading, int exponent) {
  const int count = leading.exponent - exponent + 1;
  std::uint64_t significand = 0;
  for (int i = 0; i < count; ++i) {
    append_digit(significand, static_cast<unsigned>(leading.digits[i] - '0'));
  }
  const char* const rest = leading.digits + count;
  const char* const end = leading.digits + LeadingDigits::kCount;
  if (*rest == '5' && std::all_of(rest + 1, end, [](char c) { return c == '0'; })) {
    return rounded_significand(magnitude, leading.exponent, exponent);
  }
  if (*rest >= '5' && significand != kMaxSignificand) ++significand;
  return significand;
}

// The significand the reader takes, at exponent, back to magnitude exactly that is nearest to
// nearest; none when there is none. The reader's value never falls as the significand grows, so
// such significands form one run: gallop from nearest towards magnitude, then halve the step.
std::optional<std::uint64_t> run_member(double magnitude, std::uint64_t nearest, int exponent) {
  const double at = read_value(nearest, exponent);
  if (at == magnitude) return nearest;
  const bool up = at < magnitude;
  const auto past = [&](std::uint64_t significand) {
    const double value = read_value(significand, exponent);
    return up ? value >= magnitude : value <= magnitude;
  };
  std::uint64_t short_of = nearest;  // not yet past magnitude
  std::uint64_t beyond = nearest;
  for (std::uint64_t step = 1;; step *= 2) {
    const std::uint64_t room = up ? kMaxSignificand - short_of : short_of - 1;
    if (room == 0) return std::nullopt;
    beyond = up ? short_of + std::min(step, room) : short_of - std::min(step, room);
    if (past(beyond)) break;
    short_of = beyond;
  }
  while ((up ? beyond - short_of : short_of - beyond) > 1) {
    const std::uint64_t middle =
        up ? short_of + (beyond - short_of) / 2 : beyond + (short_of - beyond) / 2;
    (past(middle) ? beyond : short_of) = middle;
  }
  if (read_value(beyond, exponent) != magnitude) return std::nullopt;
  return beyond;
}

// For a magnitude whose correctly rounded shortest digits the reader takes to another double:
// the fewest digits the reader takes back to it (trailing zeros kept, since they change what the
// reader computes), nearest to it among those. Exponents are tried from the largest, so that the
// significand, at most 20 digits, grows one digit at a time. None for a magnitude that no text
// in these layouts reads as; every double that tests read from texts of any form (integers of
// any size over powers of ten, every mEn, browser texts) has some.
std::optional<ShortestDigits> digits_the_reader_takes_back(double magnitude) {
  const LeadingDigits leading = leading_digits_of(magnitude);
  for (int exponent = leading.exponent + 1; exponent > leading.exponent - kMaxSignificandDigits;
       --exponent) {
    const std::uint64_t nearest =
        exponent > leading.exponent ? 1 : nearest_significand(magnitude, leading, exponent);
    const std::optional<std::uint64_t> significand = run_member(magnitude, nearest, exponent);
    if (!significand) continue;
    const ShortestDigits d = all_digits_of(*significand, exponent);
    // The plain layout has no text for digits above the units: "1.0" is always read as 10e-1.
    if (is_plain(d.exponent) && exponent >= 0) continue;
    return d;
  }
  return std::nullopt;
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
  const double magnitude = std::fabs(x);
  ShortestDigits digits = shortest_digits(magnitude);
  if (!digits.reads_back && read_back(digits) != magnitude) {
    if (const auto taken_back = digits_the_reader_takes_back(magnitude)) digits = *taken_back;
  }
  if (digits.exponent < kLowestPlainExponent || digits.exponent > kHighestPlainExponent) {
    return write_exponent_form(out, digits);
  }
  return write_plain_form(out, digits);
}

}  // namespace ktarn::json
