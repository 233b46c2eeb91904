// A private temporary home for software keychain tests, and the attribute dictionaries the key
// store builds (base query, lookup query, creation parameters), so each test states only what
// it changes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "bridge/platform/software/keychain/keychain_status.hpp"
#include "bridge/platform/software/keychain/software_keychain.hpp"

namespace ktarn::platform::software {

// The dictionaries the key store builds for a key name.
inline Bytes tag(const std::string& name) {
  return Bytes(name.begin(), name.end());
}

inline Attributes base_query(const SharedRef& keychain, const std::string& name) {
  Attributes query;
  query.set(Attr::kSecClass, Constant::kSecClassKey);
  query.set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeRSA);
  query.set(Attr::kSecAttrKeyClass, Constant::kSecAttrKeyClassPrivate);
  query.set(Attr::kSecAttrApplicationTag, tag(name));
  query.set(Attr::kSecMatchSearchList, std::vector<SharedRef>{keychain});
  query.set(Attr::kSecAttrSynchronizable, false);
  return query;
}

inline Attributes lookup_query(const SharedRef& keychain, const std::string& name) {
  Attributes query = base_query(keychain, name);
  query.set(Attr::kSecReturnRef, true);
  query.set(Attr::kSecMatchLimit, Constant::kSecMatchLimitOne);
  return query;
}

inline std::shared_ptr<Attributes> private_key_attributes(const std::string& name) {
  auto attributes = std::make_shared<Attributes>();
  attributes->set(Attr::kSecAttrIsPermanent, true);
  attributes->set(Attr::kSecAttrApplicationTag, tag(name));
  attributes->set(Attr::kSecAttrLabel, name);
  attributes->set(Attr::kSecAttrIsExtractable, false);
  attributes->set(Attr::kSecAttrIsSensitive, true);
  attributes->set(Attr::kSecAttrCanSign, true);
  attributes->set(Attr::kSecAttrSynchronizable, false);
  return attributes;
}

inline Attributes creation_parameters(const SharedRef& keychain,
                                      std::shared_ptr<const Attributes> private_attributes,
                                      std::int64_t bits = 2048) {
  Attributes parameters;
  parameters.set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeRSA);
  parameters.set(Attr::kSecAttrKeySizeInBits, bits);
  parameters.set(Attr::kSecAttrIsExtractable, false);
  parameters.set(Attr::kSecUseKeychain, keychain);
  parameters.set(Attr::kSecPrivateKeyAttrs, std::move(private_attributes));
  return parameters;
}

class SoftwareKeychainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ktarn-keychain-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    path_ = home_ + "/Library/Keychains/login.keychain-db";
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  // The keychain at path_, opened (and so created) through the interface.
  SharedRef open_keychain() {
    Ref keychain;
    EXPECT_EQ(keychain_.sec_keychain_open(path_, keychain), 0);
    return SharedRef(std::move(keychain));
  }

  // The public DER of the key the lookup finds, or empty when none is found.
  Bytes found_public_der(const Attributes& query) {
    Ref item;
    if (keychain_.sec_item_copy_matching(query, item) != 0 || !item) return {};
    Ref public_key = keychain_.sec_key_copy_public_key(*item);
    Ref error;
    auto der = public_key ? keychain_.sec_key_copy_external_representation(*public_key, error)
                          : std::nullopt;
    return der.value_or(Bytes());
  }

  std::string home_;
  std::string path_;
  SoftwareKeychain keychain_;
};

// Whether signature is a valid RSASSA-PKCS1-v1_5 SHA-256 signature of digest under the PKCS #1
// public key, checked by OpenSSL independently of the keychain.
inline bool verifies(const Bytes& public_der, const Bytes& digest, const Bytes& signature) {
  const unsigned char* cursor = public_der.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(public_der.size())),
      EVP_PKEY_free);
  if (!key) return false;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), EVP_PKEY_CTX_free);
  return context && EVP_PKEY_verify_init(context.get()) > 0 &&
         EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) > 0 &&
         EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) > 0 &&
         EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(),
                         digest.size()) == 1;
}

}  // namespace ktarn::platform::software
