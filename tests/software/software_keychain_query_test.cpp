// How queries find and delete key items: every member must match, the oldest match wins, a
// locked keychain refuses to be searched or changed, and no read outlives the keychain's use.
#include <sqlite3.h>

#include <cstdio>
#include <functional>

#include "bridge/platform/software/keychain/keychain_objects.hpp"
#include "software_keychain_fixture.hpp"

namespace ktarn::platform::software {
namespace {

// One small key shared by all stored items: matching never looks at the key itself.
const SecretBytes& shared_private_key() {
  static const SecretBytes der = *encode_private_key(**generate_rsa_key(1024));
  return der;
}

class SoftwareKeychainQueryTest : public SoftwareKeychainTest {
 protected:
  void SetUp() override {
    SoftwareKeychainTest::SetUp();
    keychain_object_ = open_keychain();
    store("kTARN.a", "first", false);
    store("kTARN.a", "second", false);
    store("kTARN.a", "synced", true);
    store("kTARN.b", "other", false);
  }

  KeychainDatabase& database() {
    return dynamic_cast<KeychainObject&>(*keychain_object_).database();
  }

  // Stored as a keychain from before one key per name was kept may hold them: several items
  // under one tag.
  void store(const std::string& name, const std::string& label, bool synchronizable) {
    KeyItem item;
    item.set(Attr::kSecAttrApplicationTag, tag(name));
    item.set(Attr::kSecAttrLabel, std::string(label));
    item.set(Attr::kSecAttrKeySizeInBits, std::int64_t{1024});
    item.set(Attr::kSecAttrSynchronizable, synchronizable);
    item.private_key = shared_private_key();
    auto transaction = database().begin_write();
    ASSERT_TRUE(transaction);
    ASSERT_TRUE(database().insert(item));
    ASSERT_EQ(transaction->commit(), 0);
  }

  void set_locked(bool locked) {
    auto transaction = database().begin_write();
    ASSERT_TRUE(transaction);
    ASSERT_EQ(database().set_locked(locked), 0);
    ASSERT_EQ(transaction->commit(), 0);
  }

  // The label of the item the query finds, or the failing status as text.
  std::string found_label(const Attributes& query) {
    Ref item;
    OSStatus status = keychain_.sec_item_copy_matching(query, item);
    if (status != 0) return std::to_string(status);
    if (!item) return "no item";
    auto attributes = keychain_.sec_key_copy_attributes(*item);
    const auto* label = attributes ? attributes->get<std::string>(Attr::kSecAttrLabel) : nullptr;
    return label ? *label : "no label";
  }

  SharedRef keychain_object_;
};

struct QueryCase {
  const char* reason;
  void (*change)(Attributes& query);
  const char* found;
};

const QueryCase kQueryCases[] = {
    {"the oldest of several matches", [](Attributes&) {}, "first"},
    {"another tag", [](Attributes& q) { q.set(Attr::kSecAttrApplicationTag, Bytes{'k'}); },
     "-25300"},
    {"the second tag",
     [](Attributes& q) {
       q.set(Attr::kSecAttrApplicationTag, Bytes{'k', 'T', 'A', 'R', 'N', '.', 'b'});
     },
     "other"},
    {"a tag that is a prefix of the stored one",
     [](Attributes& q) {
       q.set(Attr::kSecAttrApplicationTag, Bytes{'k', 'T', 'A', 'R', 'N', '.'});
     },
     "-25300"},
    {"a label narrows the search",
     [](Attributes& q) { q.set(Attr::kSecAttrLabel, std::string("second")); }, "second"},
    {"an unknown label", [](Attributes& q) { q.set(Attr::kSecAttrLabel, std::string("none")); },
     "-25300"},
    {"synchronizable asked for", [](Attributes& q) { q.set(Attr::kSecAttrSynchronizable, true); },
     "synced"},
    {"synchronizable not mentioned",
     [](Attributes& q) { q.members.erase(Attr::kSecAttrSynchronizable); }, "first"},
    {"public keys",
     [](Attributes& q) { q.set(Attr::kSecAttrKeyClass, Constant::kSecAttrKeyClassPublic); },
     "-25300"},
    {"elliptic-curve keys",
     [](Attributes& q) { q.set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeECSECPrimeRandom); },
     "-25300"},
    {"another size", [](Attributes& q) { q.set(Attr::kSecAttrKeySizeInBits, std::int64_t{2048}); },
     "-25300"},
    {"extractable keys", [](Attributes& q) { q.set(Attr::kSecAttrIsExtractable, true); }, "-25300"},
    {"no reference asked for", [](Attributes& q) { q.set(Attr::kSecReturnRef, false); }, "no item"},
    {"a tag given as text",
     [](Attributes& q) { q.set(Attr::kSecAttrApplicationTag, std::string("kTARN.a")); }, "-50"},
    {"a flag given as a number",
     [](Attributes& q) { q.set(Attr::kSecAttrSynchronizable, std::int64_t{0}); }, "-50"},
    {"no item class", [](Attributes& q) { q.members.erase(Attr::kSecClass); }, "-50"},
    {"no keychain to search", [](Attributes& q) { q.members.erase(Attr::kSecMatchSearchList); },
     "-25307"},
    {"an empty search list",
     [](Attributes& q) { q.set(Attr::kSecMatchSearchList, std::vector<SharedRef>{}); }, "-50"},
    {"a search list naming a foreign object",
     [](Attributes& q) {
       q.set(Attr::kSecMatchSearchList, std::vector<SharedRef>{std::make_shared<Object>()});
     },
     "-50"},
    {"a member that belongs to creation",
     [](Attributes& q) { q.set(Attr::kSecUseKeychain, SharedRef()); }, "-50"},
};

TEST_F(SoftwareKeychainQueryTest, LookupMatchesEveryMemberAndReturnsTheOldestMatch) {
  for (const QueryCase& c : kQueryCases) {
    SCOPED_TRACE(c.reason);
    Attributes query = lookup_query(keychain_object_, "kTARN.a");
    c.change(query);
    EXPECT_EQ(found_label(query), c.found);
  }
}

TEST_F(SoftwareKeychainQueryTest, DeleteRemovesEveryMatchAndNothingElse) {
  EXPECT_EQ(keychain_.sec_item_delete(base_query(keychain_object_, "kTARN.a")), 0);
  EXPECT_EQ(keychain_.sec_item_delete(base_query(keychain_object_, "kTARN.a")), errSecItemNotFound);
  Attributes synced = lookup_query(keychain_object_, "kTARN.a");
  synced.set(Attr::kSecAttrSynchronizable, true);
  EXPECT_EQ(found_label(synced), "synced");
  EXPECT_EQ(found_label(lookup_query(keychain_object_, "kTARN.b")), "other");
}

TEST_F(SoftwareKeychainQueryTest, DeleteTakesNoLimitOrReturnMembers) {
  EXPECT_EQ(keychain_.sec_item_delete(lookup_query(keychain_object_, "kTARN.a")), errSecParam);
  EXPECT_EQ(found_label(lookup_query(keychain_object_, "kTARN.a")), "first");
}

TEST_F(SoftwareKeychainQueryTest, ItemsAddedLaterComeAfterOlderOnesEvenAfterDeletions) {
  ASSERT_EQ(keychain_.sec_item_delete(base_query(keychain_object_, "kTARN.b")), 0);
  store("kTARN.b", "newer", false);
  store("kTARN.b", "newest", false);
  EXPECT_EQ(found_label(lookup_query(keychain_object_, "kTARN.b")), "newer");
}

TEST_F(SoftwareKeychainQueryTest, ALockedKeychainRefusesItemOperationsUntilUnlocked) {
  set_locked(true);
  std::uint32_t status = 0;
  ASSERT_EQ(keychain_.sec_keychain_get_status(*keychain_object_, status), 0);
  EXPECT_EQ(status & kSecUnlockStateStatus, 0u);
  EXPECT_EQ(found_label(lookup_query(keychain_object_, "kTARN.a")), "-25308");
  EXPECT_EQ(keychain_.sec_item_delete(base_query(keychain_object_, "kTARN.a")),
            errSecInteractionNotAllowed);
  Ref error;
  EXPECT_FALSE(keychain_.sec_key_create_random_key(
      creation_parameters(keychain_object_, private_key_attributes("kTARN.c"), 1024), error));
  ASSERT_TRUE(error);
  EXPECT_EQ(dynamic_cast<ErrorObject&>(*error).status(), errSecInteractionNotAllowed);

  set_locked(false);
  EXPECT_EQ(found_label(lookup_query(keychain_object_, "kTARN.a")), "first");
  EXPECT_EQ(found_label(lookup_query(keychain_object_, "kTARN.c")), "-25300");
}

// A write from another connection that refuses to wait: it commits only when no read of ours
// still holds the file.
int write_without_waiting(const std::string& path) {
  sqlite3* db = nullptr;
  int result = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (result == SQLITE_OK) {
    sqlite3_busy_timeout(db, 0);
    result = sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE keychain_state SET locked = 0; COMMIT",
                          nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
  return result;
}

TEST_F(SoftwareKeychainQueryTest, TheReadOfAStatusCheckEndsWithTheLookupOrTheKeychainsUse) {
  using Use = std::function<void(SoftwareKeychain&, SharedRef&)>;
  const auto status_check = [](SoftwareKeychain& keychain, const SharedRef& opened) {
    std::uint32_t status = 0;
    EXPECT_EQ(keychain.sec_keychain_get_status(*opened, status), 0);
  };
  const struct {
    const char* name;
    bool locked;
    Use use;
  } cases[] = {
      {"status, then the lookup", false,
       [&](SoftwareKeychain& keychain, SharedRef& opened) {
         status_check(keychain, opened);
         Ref item;
         EXPECT_EQ(keychain.sec_item_copy_matching(lookup_query(opened, "kTARN.a"), item), 0);
       }},
      {"status, then the keychain let go", false,
       [&](SoftwareKeychain& keychain, SharedRef& opened) {
         status_check(keychain, opened);
         opened.reset();
       }},
      {"status of a locked keychain, then let go", true,
       [&](SoftwareKeychain& keychain, SharedRef& opened) {
         status_check(keychain, opened);
         opened.reset();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    set_locked(c.locked);
    SharedRef opened = open_keychain();
    c.use(keychain_, opened);
    EXPECT_EQ(write_without_waiting(path_), SQLITE_OK);
  }
}

// The read a status check keeps belongs to the file it began on: a keychain put in its place
// meanwhile is not half-read by the lookup that follows, and the next open finds it.
TEST_F(SoftwareKeychainQueryTest, AFileReplacedWhileAReadIsKeptIsFoundByTheNextOpen) {
  const std::string other = home_ + "/Library/Keychains/other.keychain-db";
  {
    SoftwareKeychain elsewhere;
    Ref empty;
    ASSERT_EQ(elsewhere.sec_keychain_open(other, empty), 0);
  }
  std::uint32_t status = 0;
  ASSERT_EQ(keychain_.sec_keychain_get_status(*keychain_object_, status), 0);
  ASSERT_EQ(std::rename(other.c_str(), path_.c_str()), 0);
  EXPECT_EQ(found_label(lookup_query(keychain_object_, "kTARN.a")), "first");
  EXPECT_EQ(found_label(lookup_query(open_keychain(), "kTARN.a")),
            std::to_string(errSecItemNotFound));
}

}  // namespace
}  // namespace ktarn::platform::software
