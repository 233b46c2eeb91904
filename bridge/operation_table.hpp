// The bridge's operation table: each operation word with the routine that carries it out, in the
// order the words are compared. A plain table searched from the top keeps dispatch obvious and
// lets each operation's own module supply its routine.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "bridge/operation.hpp"

namespace ktarn::bridge {

std::span<const BridgeOperation> bridge_operations();

// The first entry whose word equals the given one exactly (letter case included), or nullptr for
// an absent word or one without an entry.
const BridgeOperation* find_bridge_operation(const std::optional<std::string>& word);

}  // namespace ktarn::bridge
