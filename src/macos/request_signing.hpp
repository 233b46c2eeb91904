// The "sign" operation: admits a payload only when its signing context names this protocol,
// audience and one of its purposes, signs the SHA-256 digest of its canonical bytes with the
// device key, and answers with those exact bytes and the signature. payload_text is the request's
// own text of the payload when the reader found it already canonical (see RootMemberTexts): then
// it is those bytes, and the payload is not written again.
#pragma once

#include <optional>
#include <string_view>

#include "json/json_value.hpp"
#include "macos/native_bridge_client.hpp"

namespace ktarn::macos {

OperationOutcome sign_request(std::string_view key_name, const json::JsonValue& request,
                              std::optional<std::string_view> payload_text,
                              const BridgeFunctions& bridge = kNativeBridge);

}  // namespace ktarn::macos
