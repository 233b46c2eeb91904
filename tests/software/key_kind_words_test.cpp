// The word naming a key's storage kind, which every item and the keychain's choice for new keys
// record: only a word that names a kind is read, and anything else makes the file a keychain that
// this build does not understand, so no key is used, or made, by a kind it does not name.
#include <sqlite3.h>

#include "bridge/platform/software/keychain/keychain_objects.hpp"
#include "software_keychain_fixture.hpp"

namespace ktarn::platform::software {
namespace {

constexpr const char* kName = "kTARN.kind";
constexpr const char* kOther = "kTARN.kind.other";

// Sets both words behind the keychain's back, as another program writing the file would.
int set_words(const std::string& path, const char* word) {
  sqlite3* db = nullptr;
  int result = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  char* sql = sqlite3_mprintf(
      "UPDATE key_items SET storage = %Q; UPDATE keychain_state SET new_key_storage = %Q", word,
      word);
  if (result == SQLITE_OK) result = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  sqlite3_free(sql);
  sqlite3_close(db);
  return result;
}

OSStatus status_of(const Ref& created, const Ref& error) {
  if (created) return errSecSuccess;
  const auto* object = dynamic_cast<const ErrorObject*>(error.get());
  return object ? object->status() : 1;
}

using SoftwareKeychainKindWordTest = SoftwareKeychainTest;

TEST_F(SoftwareKeychainKindWordTest, OnlyAWordNamingAKindIsRead) {
  const struct {
    const char* why;
    const char* word;
    OSStatus status;
  } cases[] = {
      {"software keys", "software", errSecSuccess},
      {"the word in capitals", "Software", errSecInvalidKeychain},
      {"the word with a space after it", "software ", errSecInvalidKeychain},
      {"no word", "", errSecInvalidKeychain},
      {"another attribute's stored value", "rsa", errSecInvalidKeychain},
      {"software keys again, after the damage", "software", errSecSuccess},
  };
  SharedRef keychain = open_keychain();
  ASSERT_EQ(set_words(path_, "software"), SQLITE_OK);
  Ref error;
  ASSERT_TRUE(keychain_.sec_key_create_random_key(
      creation_parameters(keychain, private_key_attributes(kName), 1024), error));
  for (const auto& test : cases) {
    SCOPED_TRACE(test.why);
    ASSERT_EQ(set_words(path_, test.word), SQLITE_OK);
    Ref item;
    EXPECT_EQ(keychain_.sec_item_copy_matching(lookup_query(keychain, kName), item), test.status);
    Ref made = keychain_.sec_key_create_random_key(
        creation_parameters(keychain, private_key_attributes(kOther), 1024), error);
    EXPECT_EQ(status_of(made, error), test.status);
    if (made) {
      EXPECT_EQ(keychain_.sec_item_delete(base_query(keychain, kOther)), 0);
    }
  }
}

}  // namespace
}  // namespace ktarn::platform::software
