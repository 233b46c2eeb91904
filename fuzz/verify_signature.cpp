// The verifier's input handling, as a relying party meets it: whatever a peer sends as the key
// and the sign result. The first byte picks the layout:
//   0: the rest is the key text, a LF, and the sign result text, both read as ktarn-verify reads
//      its files;
//   1: the key is the test-only device key's JWK and the rest is the sign result text;
//   2: the key is the test-only device key's JWK and the rest is a payload, which this target
//      signs with that key, so that every check behind the signature is reached.
// The next byte picks the expectations (bit 0 purpose "challenge", bit 1 nonce "n", bit 2 the
// key id). Whatever arrives, the verifier gives a verified payload or a reason, never anything
// else; a verified payload is the signed bytes, canonical, at most 32768 bytes, with one of the
// three purposes and the key's own id; and a payload signed by the key is never refused for its
// signature or its encoding.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/base64.hpp"
#include "fuzz_input.hpp"
#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "verifier/verify_signature.hpp"

namespace {

using ktarn::json::JsonValue;
using ktarn::verifier::Reason;

// The test-only key of the golden vectors; never a device key.
EVP_PKEY* test_key() {
  static EVP_PKEY* key = [] {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(KTARN_TEST_KEY_PATH, "r"),
                                                       &std::fclose);
    EVP_PKEY* loaded = file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr;
    if (loaded == nullptr) std::abort();
    return loaded;
  }();
  return key;
}

// That key's JWK, as the first golden vector carries it.
const JsonValue& test_jwk() {
  static const JsonValue jwk = [] {
    std::string text;
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(KTARN_VECTORS_PATH, "r"),
                                                       &std::fclose);
    char buffer[65536];
    for (std::size_t got; file && (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
      text.append(buffer, got);
    }
    ktarn::json::ParseResult vectors = ktarn::json::parse_json(text);
    const JsonValue* cases = vectors ? ktarn::json::find_member(*vectors, "cases") : nullptr;
    if (cases == nullptr || !cases->as_array() || cases->as_array()->empty()) std::abort();
    return *ktarn::json::find_member(cases->as_array()->front(), "key");
  }();
  return jwk;
}

std::string sign(std::string_view message) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  std::string signature(256, '\0');
  std::size_t size = signature.size();
  if (EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, test_key()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    std::abort();
  }
  return signature;
}

JsonValue parsed_or_null(std::string_view text) {
  ktarn::json::ParseResult parsed = ktarn::json::parse_json_bytes(
      {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
  return parsed ? std::move(*parsed) : JsonValue();
}

JsonValue signed_payload(std::string_view payload) {
  auto url = [](std::string_view bytes) { return ktarn::base64url_encode(ktarn::as_bytes(bytes)); };
  JsonValue result = JsonValue::object();
  result.insert("payload", JsonValue::string(url(payload)));
  result.insert("signature", JsonValue::string(url(sign(payload))));
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ktarn::fuzzing::FuzzInput input({data, size});
  const std::uint8_t layout = input.byte() % 3;
  const std::uint8_t wanted = input.byte();
  const std::string_view rest = input.rest_text();

  JsonValue key = test_jwk();
  JsonValue sign_result;
  if (layout == 0) {
    const std::size_t split = std::min(rest.find('\n'), rest.size());
    key = parsed_or_null(rest.substr(0, split));
    sign_result = parsed_or_null(rest.substr(std::min(split + 1, rest.size())));
  } else if (layout == 1) {
    sign_result = parsed_or_null(rest);
  } else {
    sign_result = signed_payload(rest);
  }
  const std::string jwk_key_id(*ktarn::json::find_member(test_jwk(), "keyId")->as_string());
  ktarn::verifier::Expectations expected;
  if (wanted & 1) expected.purpose = "challenge";
  if (wanted & 2) expected.nonce = "n";
  if (wanted & 4) expected.key_id = jwk_key_id;

  const auto verified = ktarn::verifier::verify_signature(key, sign_result, expected);
  if (!verified) {
    const Reason reason = verified.error();
    if (layout == 2 && reason <= Reason::kSignatureInvalid) std::abort();
    return 0;
  }
  if (verified->payload_bytes.size() > 32768 ||
      ktarn::json::write_json(verified->payload) != verified->payload_bytes) {
    std::abort();
  }
  if (verified->purpose != "challenge" && verified->purpose != "request" &&
      verified->purpose != "events") {
    std::abort();
  }
  if (layout != 0 && verified->key_id != jwk_key_id) std::abort();
  if (layout == 2 && verified->payload_bytes != rest) std::abort();
  return 0;
}
