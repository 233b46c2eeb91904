#include "json/read_number.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "json/parse_categories.hpp"
#include "json/powers_of_ten.hpp"

namespace ktarn::json {
namespace {

constexpr std::uint64_t kMaxSignificand = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMaxNegativeMagnitude = std::uint64_t{1} << 63;
constexpr std::int64_t kMaxExponent = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kMinExponent = std::numeric_limits<std::int32_t>::min();

bool is_digit(const unsigned char* p, const unsigned char* end) {
  return p != end && static_cast<unsigned char>(*p - '0') < 10;
}

// Appends digit to significand unless the result would not fit in 64 bits.
bool append_digit(std::uint64_t& significand, unsigned digit) {
  if (significand > (kMaxSignificand - digit) / 10) return false;
  significand = significand * 10 + digit;
  return true;
}

std::int64_t saturate(std::int64_t exponent) {
  return std::clamp(exponent, kMinExponent, kMaxExponent);
}

NumberRead failed(const unsigned char* at, const unsigned char* end, std::string_view otherwise) {
  return NumberRead{JsonValue(), at, at == end ? category::kEofInValue : otherwise};
}

JsonValue integer(std::uint64_t magnitude, bool negative) {
  if (!negative) return JsonValue::unsigned_integer(magnitude);
  if (magnitude >= 1 && magnitude <= kMaxNegativeMagnitude) {
    // Two's complement wrap-around is exact for every magnitude up to 2^63.
    return JsonValue::negative_integer(static_cast<std::int64_t>(0 - magnitude));
  }
  return JsonValue::number(-static_cast<double>(magnitude));
}

}  // namespace

std::optional<double> decimal_to_double(std::uint64_t significand, std::int64_t exponent) {
  double d = static_cast<double>(significand);
  while (exponent > kMaxPowerOfTen || exponent < -kMaxPowerOfTen) {
    if (d == 0) return d;
    if (exponent > 0) return std::nullopt;
    d /= 1e308;
    exponent += kMaxPowerOfTen;
  }
  if (exponent >= 0) {
    d *= kPowersOfTen[static_cast<std::size_t>(exponent)];
    if (std::isinf(d)) return std::nullopt;
  } else {
    d /= kPowersOfTen[static_cast<std::size_t>(-exponent)];
  }
  return d;
}

NumberRead read_number(const unsigned char* p, const unsigned char* end) {
  const bool negative = *p == '-';
  if (negative) ++p;
  if (!is_digit(p, end)) return failed(p, end, category::kInvalidNumber);

  std::uint64_t significand = 0;
  std::int64_t exponent = 0;
  bool overflowed = false;
  if (*p == '0') {
    ++p;
    if (is_digit(p, end)) return failed(p, end, category::kInvalidNumber);
  }
  for (; is_digit(p, end); ++p) {
    // Digits beyond 64 bits are dropped; each still counts as a power of ten.
    if (overflowed || !append_digit(significand, *p - '0')) {
      overflowed = true;
      ++exponent;
    }
  }
  bool is_integer = true;
  if (p != end && *p == '.') {
    is_integer = false;
    ++p;
    if (!is_digit(p, end)) return failed(p, end, category::kInvalidNumber);
    // Once the significand is full, later digits are less significant than ones already dropped.
    bool full = overflowed;
    for (; is_digit(p, end); ++p) {
      if (!full && append_digit(significand, *p - '0')) {
        --exponent;
      } else {
        full = true;
      }
    }
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    is_integer = false;
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    if (!is_digit(p, end)) return failed(p, end, category::kInvalidNumber);
    std::int64_t written = 0;
    for (; is_digit(p, end); ++p) {
      written = written * 10 + (*p - '0');
      if (written <= kMaxExponent) continue;
      if (significand != 0 && !exponent_negative) {
        return NumberRead{JsonValue(), p, category::kNumberOutOfRange};
      }
      while (is_digit(p, end)) ++p;
      return NumberRead{JsonValue::number(negative ? -0.0 : 0.0), p, {}};
    }
    exponent = saturate(saturate(exponent) + (exponent_negative ? -written : written));
  }
  if (is_integer && !overflowed) return NumberRead{integer(significand, negative), p, {}};

  const std::optional<double> magnitude = decimal_to_double(significand, saturate(exponent));
  if (!magnitude) return NumberRead{JsonValue(), p, category::kNumberOutOfRange};
  return NumberRead{JsonValue::number(negative ? -*magnitude : *magnitude), p, {}};
}

}  // namespace ktarn::json
