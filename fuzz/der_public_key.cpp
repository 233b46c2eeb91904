// The "key" operation over a bridge that answers with whatever public key the input describes.
// The first byte picks how: 0, the rest is the DER itself (sent in canonical Base64); 1, the rest
// is the "publicDer" text; 2, the rest edits the device key's own encoding (set, insert, erase or
// append a byte), so that near-misses of the one accepted layout are close at hand.
// Whatever arrives, the operation either fails with one of its fixed messages or answers with a
// JSON Web Key, and it answers exactly when the bytes are the one accepted layout, which the key's
// own "n" then writes again byte for byte. The DER reader is also checked on the raw bytes: a
// failed read leaves the reader where it was, a successful one moves it past the whole element.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "base/base64.hpp"
#include "base/sha256.hpp"
#include "base/utf8.hpp"
#include "device_key_der.hpp"
#include "fuzz_input.hpp"
#include "json/json_value.hpp"
#include "json/write_json.hpp"
#include "macos/der_reader.hpp"
#include "macos/public_key_export.hpp"

namespace {

using ktarn::Bytes;
using ktarn::ByteView;
using ktarn::fuzzing::FuzzInput;
using ktarn::json::JsonValue;

const std::set<std::string> kDerMessages = {
    "Invalid RSA public key DER",      "Invalid RSA DER length",
    "Noncanonical RSA DER length",     "Truncated RSA public key",
    "Trailing RSA public data",        "Invalid RSA public integer",
    "Noncanonical RSA public integer", "Stored key is not RSA-2048 with exponent 65537",
};
constexpr std::string_view kBadEncoding = "Invalid public key encoding";

void require(bool condition) {
  if (!condition) std::abort();
}

// The bridge's answer carries the key name as "publicDer": the host passes the name through
// unchanged, so the text under test reaches the reply without any state outside the call.
char* answer_with_key_name(const char* key_name, const char* operation, const char* argument) {
  require(std::string_view(operation) == "key" && *argument == '\0');
  JsonValue result = JsonValue::object();
  result.insert("publicDer", JsonValue::string(key_name));
  JsonValue envelope = JsonValue::object();
  envelope.insert("ok", JsonValue::boolean(true));
  envelope.insert("result", std::move(result));
  const std::string text = ktarn::json::write_json(envelope);
  char* buffer = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return buffer;
}

void release(char* buffer) {
  std::free(buffer);
}

constexpr ktarn::macos::BridgeFunctions kPublicDerBridge{&answer_with_key_name, &release};

Bytes edited_device_key(FuzzInput& input) {
  Bytes der = ktarn::fuzzing::device_key_der(ktarn::fuzzing::modulus_from({}));
  while (!input.rest().empty()) {
    const std::uint8_t edit = input.byte();
    const std::uint16_t at = input.word();
    const std::uint8_t value = input.byte();
    switch (edit % 4) {
      case 0:
        if (!der.empty()) der[at % der.size()] = value;
        break;
      case 1:
        der.insert(der.begin() + at % (der.size() + 1), value);
        break;
      case 2:
        if (!der.empty()) der.erase(der.begin() + at % der.size());
        break;
      default:
        der.push_back(value);
        break;
    }
  }
  return der;
}

void check_der_reader(ByteView bytes) {
  for (const std::uint8_t identifier : {ktarn::macos::kDerSequence, ktarn::macos::kDerInteger}) {
    ktarn::macos::ByteReader reader(bytes);
    const auto contents = ktarn::macos::read_der_element(reader, identifier);
    if (!contents) {
      require(reader.remaining() == bytes.size() && kDerMessages.contains(contents.error()));
      continue;
    }
    // The contents end where the unread bytes begin.
    require(contents->data() + contents->size() ==
            bytes.data() + bytes.size() - reader.remaining());
    const auto magnitude = ktarn::macos::positive_integer_bytes(*contents);
    if (!magnitude) continue;
    require(!magnitude->empty() && magnitude->front() != 0x00 &&
            (magnitude->size() == contents->size() || (*magnitude)[0] >= 0x80));
  }
}

// "n" back to bytes: the URL-safe letters swapped and the padding restored.
std::optional<Bytes> modulus_of(const std::string& n) {
  std::string standard = n;
  std::ranges::replace(standard, '-', '+');
  std::ranges::replace(standard, '_', '/');
  standard.append((4 - standard.size() % 4) % 4, '=');
  return ktarn::base64_decode_strict(standard);
}

std::string text_member(const JsonValue& jwk, std::string_view name) {
  const JsonValue* member = ktarn::json::find_member(jwk, name);
  require(member != nullptr && member->as_string().has_value());
  return std::string(*member->as_string());
}

void check_json_web_key(const JsonValue& jwk, const Bytes& der) {
  require(jwk.as_members().has_value() && jwk.as_members()->size() == 7);
  require(text_member(jwk, "alg") == "RS256" && text_member(jwk, "kty") == "RSA");
  require(text_member(jwk, "e") == "AQAB");
  require(text_member(jwk, "protection") == "software-provider");
  const JsonValue* attested = ktarn::json::find_member(jwk, "attested");
  require(attested != nullptr && attested->as_boolean() == false);
  const std::string n = text_member(jwk, "n");
  const std::optional<Bytes> modulus = modulus_of(n);
  require(modulus && modulus->size() == ktarn::fuzzing::kModulusBytes && (*modulus)[0] >= 0x80);
  require(ktarn::fuzzing::device_key_der(
              std::span<const std::uint8_t, ktarn::fuzzing::kModulusBytes>(*modulus)) == der);
  const std::string key_id_input = n + ":AQAB";
  require(text_member(jwk, "keyId") ==
          ktarn::base64url_encode(ktarn::sha256(ktarn::as_bytes(key_id_input))));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input({data, size});
  const std::uint8_t mode = input.byte() % 3;
  std::string text;
  std::optional<Bytes> der;
  if (mode == 1) {
    text = std::string(input.rest_text());
    // A NUL cannot reach the bridge's reply through a C string, and the reply is UTF-8.
    if (text.find('\0') != std::string::npos || !ktarn::is_valid_utf8(text)) return 0;
    der = ktarn::base64_decode_strict(text);
  } else {
    der = mode == 0 ? Bytes(input.rest().begin(), input.rest().end()) : edited_device_key(input);
    text = ktarn::base64_encode(*der);
  }
  const auto outcome = ktarn::macos::export_public_key(text, kPublicDerBridge);
  if (!der) {
    require(!outcome && outcome.error() == kBadEncoding);
    return 0;
  }
  check_der_reader(*der);
  require(outcome.has_value() == ktarn::fuzzing::is_device_key_der(*der));
  if (outcome) {
    check_json_web_key(*outcome, *der);
  } else {
    require(kDerMessages.contains(outcome.error()));
  }
  return 0;
}
