// The "key" operation: the device key's public half, validated as strict DER of an RSA-2048 key
// with exponent 65537, answered as a JSON Web Key with the system's key identifier.
#pragma once

#include <string_view>

#include "macos/native_bridge_client.hpp"

namespace ktarn::macos {

OperationOutcome export_public_key(std::string_view key_name,
                                   const BridgeFunctions& bridge = kNativeBridge);

}  // namespace ktarn::macos
