// read_number: one JSON number, from its first byte to the first byte that cannot continue it,
// turned into the value the protocol defines. Integers that fit stay exact in the unsigned or
// negative form; everything else becomes a double through the protocol's own decimal conversion,
// which rounds twice (significand to double, then one scaling by a power of ten). That result, and
// not a correctly rounded one, is what every reader of the protocol must agree on.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "json/json_value.hpp"

namespace ktarn::json {

struct NumberRead {
  JsonValue value;
  const unsigned char* stop = nullptr;  // first byte after the number, or the failure point
  std::string_view failure;             // a parse failure category; empty on success
};

// Precondition: at < end and *at is '-' or a digit.
NumberRead read_number(const unsigned char* at, const unsigned char* end);

// The magnitude a number's digits stand for, from the significand and decimal exponent gathered
// from them: the significand rounded to a double, then scaled by one correctly rounded power of
// ten (after whole steps of 1e308 for tiny values). No value when the result overflows. The
// writer holds the digits it writes to what this gives back.
std::optional<double> decimal_to_double(std::uint64_t significand, std::int64_t exponent);

}  // namespace ktarn::json
