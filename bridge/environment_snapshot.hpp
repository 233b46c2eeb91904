// The "snapshot" operation: one observation of the desktop at the moment of the call — how many
// displays are active, which application is frontmost, and the distinct names of the running
// processes, with a count of processes whose name could not be read and a flag for a listing or
// a name that may have been cut. All four observations must succeed, or the call yields exactly
// one fixed message and no result. Nothing is watched, cached or remembered between calls.
#pragma once

#include <optional>
#include <string>

#include "bridge/operation_table.hpp"
#include "bridge/platform/platform.hpp"

namespace ktarn::bridge {

// The eight-member snapshot, or none with one message left in error.
std::optional<platform::Dictionary> take_environment_snapshot(platform::Platform& platform,
                                                              MessageSlot& error);

// The operation table's entry: the key name and the argument play no part in a snapshot.
std::optional<platform::Dictionary> run_snapshot(platform::Platform& platform,
                                                 const std::string& key_name,
                                                 const std::optional<std::string>& argument,
                                                 MessageSlot& error);

}  // namespace ktarn::bridge
