#include "macos/public_key_export.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "base/base64.hpp"
#include "base/sha256.hpp"
#include "macos/der_reader.hpp"

namespace ktarn::macos {
namespace {

constexpr std::size_t kModulusBytes = 256;                                   // exactly 2048 bits
constexpr std::array<std::uint8_t, 3> kPublicExponent = {0x01, 0x00, 0x01};  // 65537

struct RsaPublicKey {
  ByteView modulus;   // magnitude, big-endian
  ByteView exponent;  // magnitude, big-endian
};

// The device key is RSA-2048 with exponent 65537 and nothing else; any other key found under the
// key name is reported, not described.
bool is_rsa_2048_with_exponent_65537(const RsaPublicKey& key, const ByteReader& rest) {
  return key.modulus.size() == kModulusBytes && rest.empty() &&
         key.exponent.size() == kPublicExponent.size() && (key.modulus[0] & 0x80) != 0 &&
         std::ranges::equal(key.exponent, kPublicExponent);
}

// One positive INTEGER from the reader, as its magnitude.
DerView read_positive_integer(ByteReader& reader) {
  const DerView contents = read_der_element(reader, kDerInteger);
  if (!contents) return contents;
  return positive_integer_bytes(*contents);
}

// The PKCS #1 RSAPublicKey: a SEQUENCE of modulus and exponent, with nothing around it.
Expected<RsaPublicKey, std::string> parse_rsa_public_key(ByteView der) {
  ByteReader outer(der);
  const DerView sequence = read_der_element(outer, kDerSequence);
  if (!sequence) return Unexpected(sequence.error());
  if (!outer.empty()) return Unexpected(std::string("Trailing RSA public data"));
  ByteReader inner(*sequence);
  const DerView modulus = read_positive_integer(inner);
  if (!modulus) return Unexpected(modulus.error());
  const DerView exponent = read_positive_integer(inner);
  if (!exponent) return Unexpected(exponent.error());
  const RsaPublicKey key{*modulus, *exponent};
  if (!is_rsa_2048_with_exponent_65537(key, inner)) {
    return Unexpected(std::string("Stored key is not RSA-2048 with exponent 65537"));
  }
  return key;
}

// The key identifier is the digest of the JWK's own "n" and "e" texts joined by a colon; it is
// this system's identifier, deliberately not a JWK thumbprint.
std::string key_identifier(const std::string& n, const std::string& e) {
  return base64url_encode(sha256(as_bytes(n + ":" + e)));
}

json::JsonValue json_web_key(const RsaPublicKey& key) {
  std::string n = base64url_encode(key.modulus);
  std::string e = base64url_encode(key.exponent);
  json::JsonValue jwk = json::JsonValue::object();
  jwk.insert("alg", json::JsonValue::string("RS256"));
  jwk.insert("attested", json::JsonValue::boolean(false));
  jwk.insert("keyId", json::JsonValue::string(key_identifier(n, e)));
  jwk.insert("kty", json::JsonValue::string("RSA"));
  jwk.insert("protection", json::JsonValue::string("software-provider"));
  jwk.insert("n", json::JsonValue::string(std::move(n)));
  jwk.insert("e", json::JsonValue::string(std::move(e)));
  return jwk;
}

}  // namespace

OperationOutcome export_public_key(std::string_view key_name, const BridgeFunctions& bridge) {
  const OperationOutcome reply = call_native_bridge(key_name, "key", "", bridge);
  if (!reply) return reply;
  const BinaryMember der =
      binary_member(*reply, "publicDer", {"Missing public key", "Invalid public key encoding"});
  if (!der) return failure(der.error());
  const Expected<RsaPublicKey, std::string> key = parse_rsa_public_key(*der);
  if (!key) return failure(key.error());
  return json_web_key(*key);
}

}  // namespace ktarn::macos
