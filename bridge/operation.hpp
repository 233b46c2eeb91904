// The shape of one bridge operation: given the key name (already through the namespace check),
// the argument (absent when the host passed none or ill-formed text) and the call's message slot,
// it returns its result dictionary, or none with one message left in the slot.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bridge/platform/platform.hpp"

namespace ktarn::bridge {

using MessageSlot = std::optional<std::string>;

using OperationFunction = std::optional<platform::Dictionary> (*)(
    platform::Platform& platform, const std::string& key_name,
    const std::optional<std::string>& argument, MessageSlot& error);

struct BridgeOperation {
  std::string_view word;
  OperationFunction run;
};

}  // namespace ktarn::bridge
