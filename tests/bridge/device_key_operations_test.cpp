#include <vector>

#include "bridge_fixture.hpp"

namespace ktarn::bridge::testing {
namespace {

// 32 bytes whose standard Base64 holds both "+" and "/".
constexpr const char* kSymbolDigest = "+/v7+/v7+/v7+/v7+/v7+/v7+/v7+/v7+/v7+/v7//8=";
const std::string kInvalidDigest = "Invalid SHA-256 signing digest";

std::string signed_result(const char* signature) {
  return std::string(R"({"ok":true,"result":{"signature":")") + signature + R"("}})";
}

TEST_F(BridgeTest, SignsTheDecodedDigest) {
  scripted.keychain.add_key(kKeyName);
  EXPECT_EQ(call_text("sign", kDigest),
            signed_result("c2lnOgABAgMEBQYHCAkKCwwNDg8QERITFBUWFxgZGhscHR4f"));
  ASSERT_EQ(scripted.keychain.signed_data.size(), 1u);
  EXPECT_EQ(scripted.keychain.signed_data[0].size(), 32u);
  EXPECT_EQ(scripted.keychain.signed_data[0][31], 0x1F);

  EXPECT_EQ(call_text("sign", kSymbolDigest),
            signed_result(R"(c2lnOvv7+\/v7+\/v7+\/v7+\/v7+\/v7+\/v7+\/v7+\/v7+\/v7+\/\/\/)"));
}

struct DigestCase {
  const char* reason;
  const char* argument;  // nullptr: absent
};

TEST_F(BridgeTest, MalformedDigestIsRefusedAfterTheKeyIsCreated) {
  const std::vector<DigestCase> cases = {
      {"31 bytes", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=="},
      {"33 bytes", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
      {"URL-safe alphabet", "-_v7-_v7-_v7-_v7-_v7-_v7-_v7-_v7-_v7-_v7__8="},
      {"unpadded", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"},
      {"trailing line break", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"},
      {"inner space", "AAECAwQFBgcICQoL DA0ODxAREhMUFRYXGBkaGxwdHh8="},
      {"spare bits set", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh9="},
      {"ill-formed UTF-8", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\xFF"},
      {"empty", ""},
      {"absent", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    BridgeHarness run;
    EXPECT_EQ(run.call(kKeyName, "sign", c.argument), failure(kInvalidDigest));
    EXPECT_EQ(run.scripted.keychain.items.size(), 1u) << "the key is created first";
    EXPECT_EQ(run.count_calls("SecKeyIsAlgorithmSupported"), 0u);
    EXPECT_EQ(run.count_calls("SecKeyCreateSignature"), 0u);
  }
}

TEST_F(BridgeTest, LockedKeychainFailsSignBeforeTheDigestIsDecoded) {
  scripted.keychain.status_word = 0;
  call_text("sign", "not base64");
  EXPECT_EQ(std::ranges::count(scripted.foundation.calls, "initWithBase64EncodedString"), 0);
}

TEST_F(BridgeTest, SigningFailures) {
  scripted.keychain.add_key(kKeyName).signs = false;
  EXPECT_EQ(call_text("sign", kDigest), failure("RS256 signing unavailable for device key"));
  EXPECT_EQ(count_calls("SecKeyCreateSignature"), 0u);

  scripted.keychain.items[0]->signs = true;
  scripted.keychain.items[0]->signing_fails = true;
  EXPECT_EQ(call_text("sign", kDigest),
            failure("macOS device signing failed; check login Keychain access"));
  EXPECT_EQ(scripted.keychain.items.size(), 1u);
}

TEST_F(BridgeTest, PublicKeyExportFailures) {
  scripted.keychain.add_key(kKeyName).has_public_key = false;
  EXPECT_EQ(call_text("key"), failure("macOS public device key export failed"));
  EXPECT_EQ(count_calls("SecKeyCopyExternalRepresentation"), 0u);

  scripted.keychain.items[0]->has_public_key = true;
  scripted.keychain.items[0]->public_der.reset();
  EXPECT_EQ(call_text("key"), failure("macOS public device key export failed"));
  EXPECT_EQ(scripted.keychain.items.size(), 1u);
}

TEST_F(BridgeTest, DeleteReportsWhetherAnythingWasRemoved) {
  scripted.keychain.add_key(kKeyName);
  scripted.keychain.add_key(kKeyName);
  scripted.keychain.add_key("kTARN.Other");
  EXPECT_EQ(call_text("delete-key"), R"({"ok":true,"result":{"deleted":1}})");
  EXPECT_EQ(scripted.keychain.items.size(), 1u) << "every match goes, nothing else";
  EXPECT_EQ(call_text("delete-key"), R"({"ok":true,"result":{"deleted":0}})");
  EXPECT_EQ(count_calls("SecItemCopyMatching") + count_calls("SecKeyCreateRandomKey"), 0u);
}

TEST_F(BridgeTest, DeleteFailureIsReportedWithItsStatus) {
  scripted.keychain.delete_status = -25244;
  EXPECT_EQ(call_text("delete-key"),
            failure("Application key deletion failed (macOS OSStatus -25244). Check login "
                    "Keychain access; the existing key was not replaced."));
}

}  // namespace
}  // namespace ktarn::bridge::testing
