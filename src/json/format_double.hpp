// write_double: the one text form of a finite double on the wire. The digits are the shortest
// that a correctly rounded conversion takes back to the same double (the nearest such string when
// several have that length), so long as the protocol's own reader, which rounds twice, takes them
// back to it too; otherwise they are the fewest digits that reader takes back to it, nearest to
// it, trailing zeros kept where the reader needs them ("1e-24", not "1.0000000000000001e-24",
// for the double that reading "1e-24" gives). So every text written reads back as its double.
// Their layout depends only on the decimal exponent: plain notation from 1e-5 up to below 1e16,
// always with a fraction part ("100.0"), and exponent notation ("1e+21", "1.5e-7") outside it.
#pragma once

#include <cstddef>

namespace ktarn::json {

// The longest text write_double produces ("-0.0000" and 20 digits, or a 20-digit mantissa with
// sign and a three-digit exponent), rounded up.
inline constexpr std::size_t kMaxDoubleText = 32;

// Writes the text of x at out, which has room for kMaxDoubleText bytes, and returns its end.
// NaN and the infinities, which a JsonValue cannot hold, give "null".
char* write_double(char* out, double x);

}  // namespace ktarn::json
