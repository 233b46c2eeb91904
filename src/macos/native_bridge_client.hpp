// call_native_bridge: the host's only way into the native bridge. It passes the key name, the
// operation word and one argument across the C interface, copies the reply and returns the
// bridge's buffer at once, then turns the response envelope into an OperationOutcome: the
// bridge's result or message as they are, or a fixed text where the answer is missing or unusable.
// The operations that get binary data back read it from the result with binary_member.
#pragma once

#include <string>
#include <string_view>

#include "base/base64.hpp"
#include "base/expected.hpp"
#include "json/json_value.hpp"
#include "ktarn_macos.h"

namespace ktarn::macos {

// What every host operation yields: a result value, or one failure message that reaches the
// browser verbatim.
using OperationOutcome = Expected<json::JsonValue, std::string>;

inline OperationOutcome failure(std::string message) {
  return Unexpected(std::move(message));
}

// The bridge's function pair; tests put a scripted pair in its place.
struct BridgeFunctions {
  char* (*call)(const char* key_name, const char* operation, const char* argument);
  void (*release)(char* buffer);
};

inline constexpr BridgeFunctions kNativeBridge{&ktarn_macos_call, &ktarn_macos_free};

OperationOutcome call_native_bridge(std::string_view key_name, std::string_view operation,
                                    std::string_view argument,
                                    const BridgeFunctions& bridge = kNativeBridge);

// Binary values in the bridge's results (the public key's DER, a signature) travel as a string
// member in standard Base64, and the host takes one only when the text is exactly what an encoder
// writes; each operation names its own two messages.
struct BinaryMemberMessages {
  std::string_view missing;       // the member is absent or not a string
  std::string_view bad_encoding;  // the text is not strict standard Base64
};

using BinaryMember = Expected<Bytes, std::string>;

BinaryMember binary_member(const json::JsonValue& result, std::string_view name,
                           const BinaryMemberMessages& messages);

}  // namespace ktarn::macos
