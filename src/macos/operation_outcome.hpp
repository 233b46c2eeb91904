// OperationOutcome: what every host operation yields, a result value or one failure message that
// reaches the browser verbatim.
#pragma once

#include <string>

#include "json/json_value.hpp"
#include "support/expected.hpp"

namespace ktarn::macos {

using OperationOutcome = Expected<json::JsonValue, std::string>;

inline OperationOutcome failure(std::string message) { return Unexpected(std::move(message)); }

}  // namespace ktarn::macos
