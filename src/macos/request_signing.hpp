// The "sign" operation: admits a payload only when its signing context names this protocol,
// audience and one of its purposes, signs the SHA-256 digest of its canonical bytes with the
// device key, and answers with those exact bytes and the signature.
#pragma once

#include <string_view>

#include "json/json_value.hpp"
#include "macos/native_bridge_client.hpp"

namespace ktarn::macos {

OperationOutcome sign_request(std::string_view key_name, const json::JsonValue& request,
                              const BridgeFunctions& bridge = kNativeBridge);

}  // namespace ktarn::macos
