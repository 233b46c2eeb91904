// append_double: the one text form of a finite double on the wire. The digits are the shortest
// that read back as the same double (the nearest such string when several have that length);
// their layout depends only on the decimal exponent: plain notation from 1e-5 up to below 1e16,
// always with a fraction part ("100.0"), and exponent notation ("1e+21", "1.5e-7") outside it.
#pragma once

#include <string>

namespace ktarn::json {

// Appends the text of x; NaN and the infinities, which a JsonValue cannot hold, give "null".
void append_double(std::string& out, double x);

}  // namespace ktarn::json
