// The host's operation table: the one place where an operation word is tied to the routine that
// carries it out. A request's "type" must equal one of these words byte for byte; anything else
// is not an operation of this system and reaches nothing.
#pragma once

#include <string_view>

#include "json/json_value.hpp"
#include "json/parse_json.hpp"
#include "macos/native_bridge_client.hpp"

namespace ktarn::host {

// Runs one operation for the request (with the texts its members were read from) and the
// process's key name.
using OperationHandler = macos::OperationOutcome (*)(const json::JsonValue& request,
                                                     const json::RootMemberTexts& texts,
                                                     std::string_view key_name);

struct Operation {
  std::string_view word;
  OperationHandler run;
};

// The operation registered under exactly this word, or nullptr.
const Operation* find_operation(std::string_view word);

}  // namespace ktarn::host
