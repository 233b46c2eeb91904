// The bridge's operation table: each operation word with the routine that carries it out, in the
// order the words are compared. A plain table searched from the top keeps dispatch obvious and
// lets each operation's own module supply its routine.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bridge/platform/platform.hpp"

namespace ktarn::bridge {

using MessageSlot = std::optional<std::string>;

// One operation: given the key name (already through the namespace check), the argument (absent
// when the host passed none or ill-formed text) and the call's message slot, it returns its result
// dictionary, or none with one message left in the slot.
using OperationFunction = std::optional<platform::Dictionary> (*)(
    platform::Platform& platform, const std::string& key_name,
    const std::optional<std::string>& argument, MessageSlot& error);

struct BridgeOperation {
  std::string_view word;
  OperationFunction run;
};

std::span<const BridgeOperation> bridge_operations();

// The first entry whose word equals the given one exactly (letter case included), or nullptr for
// an absent word or one without an entry.
const BridgeOperation* find_bridge_operation(const std::optional<std::string>& word);

}  // namespace ktarn::bridge
