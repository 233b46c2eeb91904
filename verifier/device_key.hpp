// The JSON Web Key of a device key, read back as strictly as the companion writes it: exactly its
// seven members, the fixed ones with their fixed values, a 2048-bit modulus, and a key id that is
// this system's own, the URL-safe SHA-256 of the texts of "n" and "e" joined by a colon. Nothing
// in the key is trusted that could name another algorithm or another key.
#pragma once

#include <string_view>

#include "base/base64.hpp"
#include "base/expected.hpp"
#include "json/json_value.hpp"
#include "verifier/reasons.hpp"

namespace ktarn::verifier {

struct DeviceKey {
  ktarn::Bytes modulus;     // 256 bytes, big-endian, top bit set
  std::string_view key_id;  // the JWK's own "keyId", checked against the modulus
};

// The checks of the key in their order. jwk must be an object.
Expected<DeviceKey, Reason> read_device_key(const json::JsonValue& jwk);

}  // namespace ktarn::verifier
