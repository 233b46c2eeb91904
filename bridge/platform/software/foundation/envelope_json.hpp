// The serialiser of response envelopes: a result value as compact JSON text, the way the host's
// bridge client expects to read it. Strings use the standard JSON escapes and write "/" as "\/";
// integers are plain decimal; members come out in the order the dictionary holds them.
#pragma once

#include <optional>
#include <string>

#include "bridge/platform/value.hpp"

namespace ktarn::platform::software {

// None when a string (a value or a member name) is not well-formed UTF-8: such text has no JSON
// form, and passing it on would hand the host bytes its parser must refuse.
std::optional<std::string> serialise_envelope_json(const Value& value);

}  // namespace ktarn::platform::software
