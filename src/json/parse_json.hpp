// parse_json: the strict reader of one complete JSON text. One value, standard grammar only,
// at most 127 open arrays and objects, only space, tab, LF and CR around the value, and the
// protocol's own decimal conversion for doubles. A rejected text yields no value, only a
// ParseFailure whose category and position are diagnostics and never travel anywhere.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "base/expected.hpp"
#include "json/json_value.hpp"

namespace ktarn::json {

struct ParseFailure {
  std::string_view category;  // one of the fixed diagnostic texts
  std::size_t line = 1;       // 1 + number of LF bytes before the failure point
  std::size_t column = 0;     // bytes from the start of that line to the failure point
};

using ParseResult = Expected<JsonValue, ParseFailure>;

// Text input: bytes already known to be valid UTF-8 (a request line).
ParseResult parse_json(std::string_view text);
// Byte input: bytes of unknown encoding (a bridge reply); every string must be valid UTF-8
// once its escapes are resolved.
ParseResult parse_json_bytes(std::span<const unsigned char> bytes);

}  // namespace ktarn::json
