#include "verifier/device_key.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "base/sha256.hpp"

namespace ktarn::verifier {
namespace {

constexpr std::size_t kModulusBytes = 256;
constexpr std::size_t kModulusTextLength = 342;

// The members in the order the value keeps them (ascending names).
constexpr std::array<std::string_view, 7> kMemberNames = {"alg", "attested", "e",         "keyId",
                                                          "kty", "n",        "protection"};

bool is_string(const json::JsonValue* value, std::string_view text) {
  return value != nullptr && value->as_string() == text;
}

// Exactly the seven members, and the five whose values never change hold them. An "alg" other
// than RS256, or any extra member, is refused rather than ignored: nothing in the key may steer
// the verification.
bool has_device_key_members(const json::JsonValue& jwk) {
  const auto members = *jwk.as_members();
  if (!std::ranges::equal(members, kMemberNames, {}, &json::JsonMember::name)) return false;
  const json::JsonValue* attested = json::find_member(jwk, "attested");
  return is_string(json::find_member(jwk, "alg"), "RS256") && attested->as_boolean() == false &&
         is_string(json::find_member(jwk, "e"), "AQAB") &&
         is_string(json::find_member(jwk, "kty"), "RSA") &&
         is_string(json::find_member(jwk, "protection"), "software-provider");
}

}  // namespace

Expected<DeviceKey, Reason> read_device_key(const json::JsonValue& jwk) {
  if (!has_device_key_members(jwk)) return Unexpected(Reason::kKeyNotDeviceKey);
  const auto n = json::find_member(jwk, "n")->as_string();
  std::optional<ktarn::Bytes> modulus;
  if (n && n->size() == kModulusTextLength) modulus = base64url_decode_strict(*n);
  if (!modulus || modulus->size() != kModulusBytes || ((*modulus)[0] & 0x80) == 0) {
    return Unexpected(Reason::kModulusMalformed);
  }
  const auto key_id = json::find_member(jwk, "keyId")->as_string();
  // The text of "n", a colon and the text of "e", which every device key has as "AQAB".
  const std::string derived =
      ktarn::base64url_encode(ktarn::sha256(ktarn::as_bytes(std::string(*n) + ":AQAB")));
  if (!key_id || *key_id != derived) return Unexpected(Reason::kKeyIdMismatch);
  return DeviceKey{std::move(*modulus), *key_id};
}

}  // namespace ktarn::verifier
