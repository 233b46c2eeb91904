// The relying party's check of one companion signature: the JSON Web Key the companion answered
// to "key" (learned at enrolment), the signing result it answered to "sign", and what the relying
// party expects of this proof. Each check runs in a fixed order and the first that fails decides
// the reason; a signature is accepted only when the key is exactly a device key, its key id is
// the one derived from it, the signature verifies over the payload bytes as they were signed,
// and those bytes are the canonical form of a payload bound to this system and one of its
// purposes. The payload handed back is read from the signed bytes themselves, never from any
// re-serialised copy.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/expected.hpp"
#include "json/json_value.hpp"
#include "verifier/reasons.hpp"

namespace ktarn::verifier {

// What the relying party requires beyond a valid signature; each check runs only when given.
struct Expectations {
  std::optional<std::string_view> purpose;  // the payload's "purpose", byte for byte
  std::optional<std::string_view> nonce;    // the payload's "nonce", a string, byte for byte
  std::optional<std::string_view> key_id;   // the key id pinned at enrolment
};

struct VerifiedPayload {
  json::JsonValue payload;    // the object read from payload_bytes
  std::string payload_bytes;  // exactly the signed bytes, which are canonical
  std::string key_id;
  std::string purpose;
};

// key and sign_result are each either the result object itself or the whole success response
// ({"id", "ok": true, "result"}) that carried it.
Expected<VerifiedPayload, Reason> verify_signature(const json::JsonValue& key,
                                                   const json::JsonValue& sign_result,
                                                   const Expectations& expected);

}  // namespace ktarn::verifier
