// Keys and keychains that are not what they claim to be: a stored key is judged by what it
// decodes to, never by the columns beside it, a key whose parts do not fit together is never
// used, and a keychain damaged after it was opened gets no new key.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "bridge/platform/software/keychain/key_creation.hpp"
#include "bridge/platform/software/keychain/keychain_objects.hpp"
#include "software_keychain_fixture.hpp"

namespace ktarn::platform::software {
namespace {

constexpr const char* kName = "kTARN.damage";

Bytes private_der(int bits) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(bits), EVP_PKEY_free);
  unsigned char* der = nullptr;
  int length = i2d_PrivateKey(key.get(), &der);
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

// The DER with one bit flipped in the middle of the value whose big-endian bytes are needle.
Bytes with_bit_flipped_in(Bytes der, const Bytes& needle) {
  auto found = std::search(der.begin(), der.end(), needle.begin(), needle.end());
  EXPECT_NE(found, der.end());
  if (found != der.end()) found[static_cast<std::ptrdiff_t>(needle.size() / 2)] ^= 0x10;
  return der;
}

Bytes rsa_component(const Bytes& der, const char* name) {
  const unsigned char* cursor = der.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size())), EVP_PKEY_free);
  BIGNUM* value = nullptr;
  EVP_PKEY_get_bn_param(key.get(), name, &value);
  Bytes bytes(static_cast<std::size_t>(BN_num_bytes(value)));
  BN_bn2bin(value, bytes.data());
  BN_free(value);
  return bytes;
}

struct StoredKey {
  const char* reason;
  Bytes (*der)();
  std::int64_t size_column;
  // What the key's attributes say about its size; none when it has no attributes to judge.
  std::optional<std::int64_t> reported_bits;
};

const StoredKey kStoredKeys[] = {
    {"a sound key", [] { return private_der(1024); }, 1024, 1024},
    {"a 512-bit key whose column says 2048", [] { return private_der(512); }, 2048, 512},
    {"a 2048-bit key whose column says 1024", [] { return private_der(2048); }, 1024, 2048},
    {"a bit flipped inside the modulus",
     [] {
       Bytes der = private_der(1024);
       return with_bit_flipped_in(der, rsa_component(der, OSSL_PKEY_PARAM_RSA_N));
     },
     1024, std::nullopt},
    {"a bit flipped inside the private exponent",
     [] {
       Bytes der = private_der(1024);
       return with_bit_flipped_in(der, rsa_component(der, OSSL_PKEY_PARAM_RSA_D));
     },
     1024, std::nullopt},
    {"a bit flipped inside the first prime",
     [] {
       Bytes der = private_der(1024);
       return with_bit_flipped_in(der, rsa_component(der, OSSL_PKEY_PARAM_RSA_FACTOR1));
     },
     1024, std::nullopt},
};

class SoftwareKeychainDamageTest : public SoftwareKeychainTest {
 protected:
  KeychainDatabase& database(const SharedRef& keychain) {
    return dynamic_cast<KeychainObject&>(*keychain).database();
  }

  void insert(const SharedRef& keychain, const Bytes& der, std::int64_t size_column) {
    KeyItem item;
    item.set(Attr::kSecAttrApplicationTag, tag(kName));
    item.set(Attr::kSecAttrLabel, std::string(kName));
    item.set(Attr::kSecAttrKeySizeInBits, std::int64_t{size_column});
    item.private_key = SecretBytes(der);
    auto transaction = database(keychain).begin_write();
    ASSERT_TRUE(transaction);
    ASSERT_TRUE(database(keychain).insert(item));
    ASSERT_EQ(transaction->commit(), 0);
  }

  std::size_t stored_items(const SharedRef& keychain) {
    auto transaction = database(keychain).begin_read();
    if (!transaction) return 0;
    auto items = database(keychain).items();
    return items ? items->size() : 0;
  }

  std::optional<Bytes> sign(const Object& key) {
    Ref error;
    return keychain_.sec_key_create_signature(
        key, KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256, Bytes(32, 7), error);
  }
};

TEST_F(SoftwareKeychainDamageTest, AStoredKeyIsJudgedByWhatItDecodesTo) {
  for (const StoredKey& stored : kStoredKeys) {
    SCOPED_TRACE(stored.reason);
    SharedRef keychain = open_keychain();
    insert(keychain, stored.der(), stored.size_column);
    Ref item;
    ASSERT_EQ(keychain_.sec_item_copy_matching(lookup_query(keychain, kName), item), 0);
    ASSERT_TRUE(item);
    auto attributes = keychain_.sec_key_copy_attributes(*item);
    ASSERT_EQ(attributes.has_value(), stored.reported_bits.has_value());
    if (attributes) {
      EXPECT_EQ(*attributes->get<std::int64_t>(Attr::kSecAttrKeySizeInBits), *stored.reported_bits);
      EXPECT_EQ(*attributes->get<Constant>(Attr::kSecAttrKeyType), Constant::kSecAttrKeyTypeRSA);
    }
    // A key with nothing to judge neither signs nor shows a public half.
    EXPECT_EQ(sign(*item).has_value(), attributes.has_value());
    Ref public_key = keychain_.sec_key_copy_public_key(*item);
    EXPECT_EQ(public_key != nullptr, attributes.has_value());
    ASSERT_EQ(keychain_.sec_item_delete(base_query(keychain, kName)), 0);
  }
}

// Overwrites the last byte of the pattern where it first occurs on a page of the given b-tree
// page type, so that only that page is damaged, and moves the file's change counter so that
// connections already open read the damaged page.
bool damage_on_page(const std::string& path, const Bytes& pattern, std::uint8_t page_type) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t page_size = std::size_t{bytes[16]} << 8 | bytes[17];
  for (auto at = bytes.begin();
       (at = std::search(at, bytes.end(), pattern.begin(), pattern.end())) != bytes.end(); ++at) {
    const auto offset = static_cast<std::size_t>(at - bytes.begin());
    const std::size_t page_start = offset / page_size * page_size;
    if (page_start == 0 || bytes[page_start] != page_type) continue;
    file.seekp(static_cast<std::streamoff>(offset + pattern.size() - 1));
    file.put('#');
    constexpr std::streamoff kChangeCounterLow = 27;
    file.seekp(kChangeCounterLow);
    file.put(static_cast<char>(bytes[kChangeCounterLow] + 1));
    return static_cast<bool>(file.flush());
  }
  return false;
}

// A damaged tag index makes the lookup miss a key that is there; creation must not take that
// for absence, even on a connection opened before the damage.
TEST_F(SoftwareKeychainDamageTest, CreationIntoAKeychainDamagedSinceItWasOpenedStoresNothing) {
  SharedRef keychain = open_keychain();
  Ref error;
  ASSERT_TRUE(keychain_.sec_key_create_random_key(
      creation_parameters(keychain, private_key_attributes(kName), 1024), error));
  constexpr std::uint8_t kIndexLeafPage = 0x0a;
  ASSERT_TRUE(damage_on_page(path_, tag(kName), kIndexLeafPage));

  Ref item;
  EXPECT_EQ(keychain_.sec_item_copy_matching(lookup_query(keychain, kName), item),
            errSecItemNotFound);
  EXPECT_FALSE(keychain_.sec_key_create_random_key(
      creation_parameters(keychain, private_key_attributes(kName), 1024), error));
  ASSERT_TRUE(error);
  EXPECT_EQ(dynamic_cast<ErrorObject&>(*error).status(), errSecInvalidKeychain);
  Ref reopened;
  EXPECT_EQ(SoftwareKeychain().sec_keychain_open(path_, reopened), errSecInvalidKeychain);
}

// Of two creations for one name, the second finds the first's key and stores nothing.
TEST_F(SoftwareKeychainDamageTest, ASecondCreationForOneNameGivesTheStoredKey) {
  SharedRef keychain = open_keychain();
  Ref error;
  Ref first = keychain_.sec_key_create_random_key(
      creation_parameters(keychain, private_key_attributes(kName), 1024), error);
  ASSERT_TRUE(first);
  Ref second = keychain_.sec_key_create_random_key(
      creation_parameters(keychain, private_key_attributes(kName), 1024), error);
  ASSERT_TRUE(second);
  EXPECT_EQ(found_public_der(lookup_query(keychain, kName)),
            *keychain_.sec_key_copy_external_representation(
                *keychain_.sec_key_copy_public_key(*second), error));
  EXPECT_EQ(stored_items(keychain), 1u);

  // A synchronizable key is not what a lookup for the name finds, so it is no reason to refuse.
  auto synchronizable = private_key_attributes(kName);
  synchronizable->set(Attr::kSecAttrSynchronizable, true);
  EXPECT_TRUE(keychain_.sec_key_create_random_key(
      creation_parameters(keychain, synchronizable, 1024), error));
  EXPECT_EQ(stored_items(keychain), 2u);
}

}  // namespace
}  // namespace ktarn::platform::software
