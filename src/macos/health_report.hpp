// The "health" report: a constant self-description of the companion and its capabilities. It is
// built anew for every request and never reflects the state of the machine.
#pragma once

#include "json/json_value.hpp"

namespace ktarn::macos {

json::JsonValue health_report();

}  // namespace ktarn::macos
