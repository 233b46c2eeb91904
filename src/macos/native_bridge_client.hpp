// call_native_bridge: the host's only way into the native bridge. It passes the key name, the
// operation word and one argument across the C interface, copies the reply and returns the
// bridge's buffer at once, then turns the response envelope into an OperationOutcome: the
// bridge's result or message as they are, or a fixed text where the answer is missing or unusable.
#pragma once

#include <string_view>

#include "ktarn_macos.h"
#include "macos/operation_outcome.hpp"

namespace ktarn::macos {

// The bridge's function pair; tests put a scripted pair in its place.
struct BridgeFunctions {
  char* (*call)(const char* key_name, const char* operation, const char* argument);
  void (*release)(char* buffer);
};

inline constexpr BridgeFunctions kNativeBridge{&ktarn_macos_call, &ktarn_macos_free};

OperationOutcome call_native_bridge(std::string_view key_name, std::string_view operation,
                                    std::string_view argument,
                                    const BridgeFunctions& bridge = kNativeBridge);

}  // namespace ktarn::macos
