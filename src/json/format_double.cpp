#include "json/format_double.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
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

// The shortest round-trip digits of a positive finite magnitude, taken from the scientific
// form "d.ddde+XX" that the standard library produces for them.
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

void append_exponent_form(std::string& out, const ShortestDigits& d) {
  out.push_back(d.digits[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  out.push_back('e');
  out.push_back(d.exponent < 0 ? '-' : '+');
  char text[8];
  const auto result = std::to_chars(text, text + sizeof text, std::abs(d.exponent));
  out.append(text, result.ptr);
}

void append_plain_form(std::string& out, const ShortestDigits& d) {
  const auto count = static_cast<std::size_t>(d.count);
  if (d.exponent < 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out.append(d.digits, count);
  } else if (d.exponent >= d.count - 1) {
    out.append(d.digits, count);
    out.append(static_cast<std::size_t>(d.exponent + 1 - d.count), '0');
    out.append(".0");
  } else {
    const auto integer_digits = static_cast<std::size_t>(d.exponent + 1);
    out.append(d.digits, integer_digits);
    out.push_back('.');
    out.append(d.digits + integer_digits, count - integer_digits);
  }
}

}  // namespace

void append_double(std::string& out, double x) {
  if (!std::isfinite(x)) {
    out.append("null");
    return;
  }
  if (std::signbit(x)) out.push_back('-');
  if (x == 0) {
    out.append("0.0");
    return;
  }
  const ShortestDigits digits = shortest_digits(std::fabs(x));
  if (digits.exponent < kLowestPlainExponent || digits.exponent > kHighestPlainExponent) {
    append_exponent_form(out, digits);
  } else {
    append_plain_form(out, digits);
  }
}

}  // namespace ktarn::json
