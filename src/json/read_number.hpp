// read_number: one JSON number, from its first byte to the first byte that cannot continue it,
// turned into the value the protocol defines. Integers that fit stay exact in the unsigned or
// negative form; everything else becomes a double through the protocol's own decimal conversion,
// which rounds twice (significand to double, then one scaling by a power of ten). That result, and
// not a correctly rounded one, is what every reader of the protocol must agree on.
#pragma once

#include <cstdint>
#include <string_view>

#include "json/json_value.hpp"
#include "json/powers_of_ten.hpp"

namespace ktarn::json {

struct NumberRead {
  JsonValue value;
  const unsigned char* stop = nullptr;  // first byte after the number, or the failure point
  std::string_view failure;             // a parse failure category; empty on success
};

// Precondition: at < end and *at is '-' or a digit.
NumberRead read_number(const unsigned char* at, const unsigned char* end);

// The common doubles, such as "0.25" or "-1.5e-7", read without the checks of the full
// conversion on every digit: at most 19 significant digits, so the significand cannot overflow,
// and an exponent of at most two digits, so one power of ten scales it. The result is the double
// read_number gives. Returns the first byte after the number, or nullptr for anything else
// (integers, longer numbers, malformed ones), which read_number then takes.
// Precondition: at < end and *at is '-' or a digit.
inline const unsigned char* read_short_decimal(const unsigned char* at, const unsigned char* end,
                                               double& value) {
  constexpr int kMaxDigits = 19;
  const auto digit_at = [end](const unsigned char* p) {
    return p != end && static_cast<unsigned char>(*p - '0') < 10;
  };
  const unsigned char* p = at;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (!digit_at(p)) return nullptr;
  std::uint64_t significand = 0;
  int digits = 0;
  if (*p == '0') {
    ++p;
  } else {
    for (; digit_at(p) && digits < kMaxDigits; ++p, ++digits)
      significand = significand * 10 + (*p - '0');
  }
  if (digit_at(p)) return nullptr;
  int exponent = 0;
  bool fraction_or_exponent = false;
  if (p != end && *p == '.') {
    const unsigned char* const fraction = ++p;
    for (; digit_at(p) && digits < kMaxDigits; ++p, ++digits)
      significand = significand * 10 + (*p - '0');
    if (p == fraction || digit_at(p)) return nullptr;
    exponent = -static_cast<int>(p - fraction);
    fraction_or_exponent = true;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool down = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (!digit_at(p)) return nullptr;
    int written = *p++ - '0';
    if (digit_at(p)) written = written * 10 + (*p++ - '0');
    if (digit_at(p)) return nullptr;
    exponent += down ? -written : written;
    fraction_or_exponent = true;
  }
  if (!fraction_or_exponent) return nullptr;
  const double d = static_cast<double>(significand);
  const double magnitude = exponent >= 0 ? d * kPowersOfTen[static_cast<std::size_t>(exponent)]
                                         : d / kPowersOfTen[static_cast<std::size_t>(-exponent)];
  value = negative ? -magnitude : magnitude;
  return p;
}

}  // namespace ktarn::json
