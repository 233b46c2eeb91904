// write_double: the one text form of a finite double on the wire. The digits are the shortest
// that read back as the same double (the nearest such string when several have that length);
// their layout depends only on the decimal exponent: plain notation from 1e-5 up to below 1e16,
// always with a fraction part ("100.0"), and exponent notation ("1e+21", "1.5e-7") outside it.
#pragma once

#include <cstddef>

namespace ktarn::json {

// The longest text write_double produces ("-0.0000" and 17 digits, or a 17-digit mantissa with
// sign and a three-digit exponent), rounded up.
inline constexpr std::size_t kMaxDoubleText = 32;

// Writes the text of x at out, which has room for kMaxDoubleText bytes, and returns its end.
// NaN and the infinities, which a JsonValue cannot hold, give "null".
char* write_double(char* out, double x);

}  // namespace ktarn::json
