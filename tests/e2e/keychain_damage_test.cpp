// A damaged or doctored keychain through the real companion: a keychain cut short, a stored
// modulus with a bit flipped, a small key whose size column claims 2048 bits, and a keychain
// holding several keys under one name. Damage is never taken for a missing key, a doctored key
// is refused and left where it is, and duplicates keep working as they always did.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "e2e/keychain_session.hpp"

namespace ktarn::e2e {
namespace {

constexpr std::string_view kKeyName = "kTARN.e2e.damage";
constexpr std::string_view kNotRsa2048 =
    "Device key is not RSA-2048; the existing key was not replaced";
constexpr std::string_view kNoAttributes =
    "Device key attributes are unavailable; the existing key was not replaced";

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The PKCS #1 DER of a new RSA private key.
std::string private_der(int bits) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(bits), EVP_PKEY_free);
  unsigned char* der = nullptr;
  const int length = i2d_PrivateKey(key.get(), &der);
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

// Stores an item for the key name as an older keychain or another writer could have.
void store_item_directly(const std::string& path, const std::string& der,
                         std::int64_t size_column) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(
                db,
                "INSERT INTO key_items (item_class, key_type, key_class, application_tag, label,"
                " size_in_bits, permanent, sensitive, extractable, can_sign, synchronizable,"
                " private_key) VALUES ('key', 'rsa', 'private', ?1, ?2, ?3, 1, 1, 0, 1, 0, ?4)",
                -1, &insert, nullptr),
            SQLITE_OK);
  sqlite3_bind_blob(insert, 1, kKeyName.data(), static_cast<int>(kKeyName.size()), SQLITE_STATIC);
  sqlite3_bind_text(insert, 2, kKeyName.data(), static_cast<int>(kKeyName.size()), SQLITE_STATIC);
  sqlite3_bind_int64(insert, 3, size_column);
  sqlite3_bind_blob(insert, 4, der.data(), static_cast<int>(der.size()), SQLITE_STATIC);
  EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

// An empty keychain, made by the companion itself.
std::string make_empty_keychain(const TemporaryHome& home) {
  const auto answers = run_session(keychain_options(home, kKeyName), {delete_request("d")});
  EXPECT_TRUE(answers.size() == 1 && answers[0].deleted == 0);
  return keychain_file(home);
}

std::vector<Answer> key_and_sign(const TemporaryHome& home) {
  return run_session(keychain_options(home, kKeyName), {key_request("k"), sign_request("s")});
}

// Cut anywhere but to nothing (an empty file is a keychain not yet made), the keychain is
// refused with its status and left as it is; it never gets a new key in place of the old one.
TEST(KeychainDamage, AKeychainCutShortIsRefusedAndGetsNoNewKey) {
  const TemporaryHome home;
  const std::string key_id = current_key_id(home, kKeyName);
  ASSERT_FALSE(key_id.empty());
  const std::string path = keychain_file(home);
  const std::string whole = file_bytes(path);
  std::vector<std::size_t> cuts{50, 100, 1000};
  for (std::size_t cut = 4096; cut < whole.size(); cut += 2048) cuts.push_back(cut);
  cuts.push_back(whole.size() - 1);
  for (const std::size_t cut : cuts) {
    SCOPED_TRACE("cut to " + std::to_string(cut) + " of " + std::to_string(whole.size()));
    const std::string truncated = whole.substr(0, cut);
    write_file(path, truncated);
    for (const Answer& answer : key_and_sign(home)) {
      if (answer.ok) {
        EXPECT_EQ(answer.id == "k" ? answer.key_id : key_id, key_id);
      } else {
        EXPECT_TRUE(is_status_failure(answer.error)) << answer.error;
      }
    }
    EXPECT_TRUE(file_bytes(path) == truncated) << "nothing is written into a damaged keychain";
  }
  write_file(path, whole);
  EXPECT_EQ(current_key_id(home, kKeyName), key_id);
}

TEST(KeychainDamage, AKeyWithAFlippedModulusBitIsRefusedAndLeftInPlace) {
  const TemporaryHome home;
  const auto created = run_session(keychain_options(home, kKeyName), {key_request("k")});
  ASSERT_TRUE(created.size() == 1 && created[0].ok);
  const std::string modulus = decode_base64url(created[0].modulus);
  ASSERT_EQ(modulus.size(), 256u);
  const std::string path = keychain_file(home);
  std::string bytes = file_bytes(path);
  const std::size_t at = bytes.find(modulus);
  ASSERT_NE(at, std::string::npos);
  bytes[at + 128] = static_cast<char>(bytes[at + 128] ^ 0x04);
  write_file(path, bytes);

  const auto answers = key_and_sign(home);
  ASSERT_EQ(answers.size(), 2u);
  for (const Answer& answer : answers) EXPECT_EQ(answer.error, kNoAttributes) << answer.id;
  EXPECT_TRUE(file_bytes(path) == bytes) << "the damaged key stays as it is";
}

TEST(KeychainDamage, ASmallKeyWhoseColumnClaims2048BitsIsRefusedForKeyAndSign) {
  const TemporaryHome home;
  const std::string path = make_empty_keychain(home);
  store_item_directly(path, private_der(512), 2048);
  const std::string before = file_bytes(path);

  const auto answers = key_and_sign(home);
  ASSERT_EQ(answers.size(), 2u);
  for (const Answer& answer : answers) EXPECT_EQ(answer.error, kNotRsa2048) << answer.id;
  EXPECT_TRUE(file_bytes(path) == before) << "the refused key stays as it is";
}

// A keychain from before one key per name was kept: the oldest key is used, and deletion
// removes every key under the name.
TEST(KeychainDamage, SeveralKeysUnderOneNameStillWork) {
  const TemporaryHome home;
  const std::string key_id = current_key_id(home, kKeyName);
  ASSERT_FALSE(key_id.empty());
  store_item_directly(keychain_file(home), private_der(2048), 2048);
  store_item_directly(keychain_file(home), private_der(2048), 2048);

  const auto answers = run_session(
      keychain_options(home, kKeyName),
      {key_request("k"), sign_request("s"), delete_request("d"), delete_request("again")});
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(answers[0].key_id, key_id);
  EXPECT_TRUE(answers[1].signed_payload) << answers[1].error;
  EXPECT_EQ(answers[2].deleted, 1);
  EXPECT_EQ(answers[3].deleted, 0);
  const auto listed = listed_items(home);
  if (listed) {
    EXPECT_TRUE(listed->empty());
  }
}

}  // namespace
}  // namespace ktarn::e2e
