// write_json: the compact, canonical text of a value. Its bytes are signed and are the protocol
// the browser sees, so there is exactly one output for each value: no white space, members in
// ascending byte order, one escaping rule, one form per kind of number. It never fails.
#pragma once

#include <string>

#include "json/json_value.hpp"

namespace ktarn::json {

std::string write_json(const JsonValue& value);
// Appends the text of value to out.
void write_json(const JsonValue& value, std::string& out);

}  // namespace ktarn::json
