// "key" and "sign" through the real companion and its keychain, with software and TPM keys, checked
// from outside with independent tools: OpenSSL for digests and RS256 verification, and Web Crypto
// under Node, as a browser page would verify.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "e2e/companion_process.hpp"
#include "e2e/key_storage.hpp"
#include "e2e/keychain_session.hpp"
#include "json/parse_json.hpp"
#include "json/write_json.hpp"

namespace ktarn::e2e {
namespace {

constexpr const char* kNode = "/usr/bin/node";
constexpr std::string_view kContext =
    R"("protocol":1,"audience":"ktarn-sealed-browser","purpose":"challenge")";

std::string encode_base64url(const unsigned char* bytes, std::size_t size) {
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(size));
  text.resize(static_cast<std::size_t>(written));
  text.erase(text.find_last_not_of('=') + 1);
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

std::string text_member(const json::JsonValue& value, std::string_view name) {
  const json::JsonValue* member = json::find_member(value, name);
  return member != nullptr && member->as_string().has_value() ? std::string(*member->as_string())
                                                              : "<none>";
}

// RS256 verification with OpenSSL, the public key built from the JWK's own "n" and "e".
bool openssl_verifies(const json::JsonValue& jwk, std::string_view message,
                      std::string_view signature) {
  const std::string n = decode_base64url(text_member(jwk, "n"));
  const std::string e = decode_base64url(text_member(jwk, "e"));
  auto to_bn = [](const std::string& bytes) {
    return std::unique_ptr<BIGNUM, decltype(&BN_free)>(
        BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                  static_cast<int>(bytes.size()), nullptr),
        &BN_free);
  };
  const auto modulus = to_bn(n);
  const auto exponent = to_bn(e);
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> builder(OSSL_PARAM_BLD_new(),
                                                                          &OSSL_PARAM_BLD_free);
  OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get());
  OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get());
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
      OSSL_PARAM_BLD_to_param(builder.get()), &OSSL_PARAM_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), &EVP_PKEY_CTX_free);
  EVP_PKEY* raw_key = nullptr;
  if (EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &raw_key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    ADD_FAILURE() << "OpenSSL refused the JWK's n and e";
    return false;
  }
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(raw_key, &EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> verifier(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  return EVP_DigestVerifyInit(verifier.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(verifier.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

// Runs the Web Crypto verifier; its first output line ("verified" or "rejected").
std::string webcrypto_verdict(const std::string& folder, const json::JsonValue& jwk,
                              const std::string& payload, const std::string& signature) {
  const std::string jwk_path = folder + "/jwk.json";
  std::ofstream(jwk_path) << json::write_json(jwk);
  const std::string command = std::string(kNode) + " " + KTARN_SOURCE_DIR +
                              "/tests/e2e/verify_webcrypto.mjs " + jwk_path + " " + payload + " " +
                              signature + " 2>&1";
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
  std::string output;
  char buffer[256];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  return output.substr(0, output.find('\n'));
}

// Run against a software keychain and a TPM keychain alike.
class KeySignEndToEnd : public ::testing::TestWithParam<KeyStorage> {
 protected:
  void SetUp() override {
    KTARN_SKIP_UNLESS_TESTABLE(storage_);
    ASSERT_EQ(storage_.make_keychain(home_), "");
    companion_.emplace(storage_.companion_options(home_));
  }

  // The result of one request line (no LF inside), which must succeed; null otherwise.
  json::JsonValue result_of(std::string_view request) {
    const std::optional<std::string> line = companion_->round_trip(request);
    if (!line) {
      ADD_FAILURE() << "no response to " << request;
      return {};
    }
    json::ParseResult response = json::parse_json(*line);
    const json::JsonValue* ok = response ? json::find_member(*response, "ok") : nullptr;
    if (ok == nullptr || ok->as_boolean() != true) {
      ADD_FAILURE() << request << " answered " << *line;
      return {};
    }
    return *json::find_member(*response, "result");
  }

  std::string response_line(std::string_view request) {
    return companion_->round_trip(request).value_or("<no response>");
  }

  StorageUnderTest storage_{GetParam()};
  TemporaryHome home_;
  std::optional<CompanionProcess> companion_;
};

INSTANTIATE_TEST_SUITE_P(ByStorage, KeySignEndToEnd, kEveryStorage, storage_test_name);

TEST_P(KeySignEndToEnd, KeyIsAJsonWebKeyWhoseIdentifierRecomputes) {
  const std::string first = response_line(R"({"id":"k1","type":"key"})");
  const json::JsonValue jwk = result_of(R"({"id":"k1","type":"key"})");
  ASSERT_EQ(jwk.as_members() ? jwk.as_members()->size() : 0u, 7u);
  EXPECT_EQ(response_line(R"({"id":"k1","type":"key"})"), first) << "the same key, the same bytes";

  const std::string n = text_member(jwk, "n");
  EXPECT_EQ(n.size(), 342u);
  EXPECT_EQ(text_member(jwk, "e"), "AQAB");
  const std::string input = n + ":AQAB";
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  EXPECT_EQ(text_member(jwk, "keyId"), encode_base64url(digest, sizeof digest));
  const std::string written = json::write_json(jwk);
  EXPECT_EQ(written.rfind(R"({"alg":"RS256","attested":false,"e":"AQAB","keyId":")", 0), 0u);
  EXPECT_NE(written.find(R"(","kty":"RSA","n":")"), std::string::npos);
  EXPECT_TRUE(written.ends_with(R"(","protection":"software-provider"})"));
}

TEST_P(KeySignEndToEnd, SignatureVerifiesWithOpenSslAndWebCrypto) {
  const json::JsonValue signed_result = result_of(
      R"({"id":"s","type":"sign","payload":{"nonce":"q7",)" + std::string(kContext) + "}}");
  const json::JsonValue jwk = result_of(R"({"id":"k","type":"key"})");
  const std::string payload = text_member(signed_result, "payload");
  const std::string signature = text_member(signed_result, "signature");
  const std::string message = decode_base64url(payload);
  EXPECT_EQ(
      message,
      R"({"audience":"ktarn-sealed-browser","nonce":"q7","protocol":1,"purpose":"challenge"})");
  EXPECT_EQ(signature.size(), 342u);
  EXPECT_TRUE(openssl_verifies(jwk, message, decode_base64url(signature)));
  EXPECT_FALSE(openssl_verifies(jwk, message + " ", decode_base64url(signature)));

  if (::access(kNode, X_OK) != 0) GTEST_SKIP() << "Web Crypto check needs " << kNode;
  EXPECT_EQ(webcrypto_verdict(home_.path(), jwk, payload, signature), "verified");
  const std::string other_payload =
      encode_base64url(reinterpret_cast<const unsigned char*>(message.data()), message.size() - 1);
  EXPECT_EQ(webcrypto_verdict(home_.path(), jwk, other_payload, signature), "rejected");
}

// However the request spells the payload, the signed bytes are the writer's form of the value,
// and the deterministic signature is then the same too.
TEST_P(KeySignEndToEnd, RequestNotationDoesNotChangeTheSignedBytes) {
  constexpr std::string_view kSpellings[] = {
      R"({"id":"1","type":"sign","payload":{"audience":"ktarn-sealed-browser","n":100.0,"protocol":1,"purpose":"events","s":"A"}})",
      R"({"type":"sign","id":"2","payload":{"s":"A","n":100.0,"purpose":"events","protocol":1,"audience":"ktarn-sealed-browser"}})",
      "{ \"id\" : \"3\" ,\t\"type\":\"sign\",  \"payload\" : { \"purpose\" : \"events\" , "
      "\"audience\":\"ktarn-sealed-browser\",\"n\":1e2,\"protocol\":1,\"s\":\"\\u0041\"} }",
      R"({"id":"4","type":"sign","payload":{"s":"B","n":7,"audience":"ktarn-sealed-browser","protocol":1,"purpose":"events","n":1E+2,"s":"A"}})",
  };
  const json::JsonValue reference = result_of(kSpellings[0]);
  EXPECT_EQ(
      decode_base64url(text_member(reference, "payload")),
      R"({"audience":"ktarn-sealed-browser","n":100.0,"protocol":1,"purpose":"events","s":"A"})");
  for (std::string_view spelling : kSpellings) {
    EXPECT_EQ(result_of(spelling), reference) << spelling;
  }
}

}  // namespace
}  // namespace ktarn::e2e
