#include <vector>

#include "bridge_fixture.hpp"

namespace ktarn::bridge::testing {
namespace {

using platform::Attr;
using platform::Constant;
using platform::scripted::RecordedAttributes;

constexpr const char* kHome = "/home/tester";
const std::string kLoginKeychain = std::string(kHome) + "/Library/Keychains/login.keychain";
const std::string kLoginKeychainDb = kLoginKeychain + "-db";

const std::string kLocked =
    "Login Keychain is locked or unavailable. Unlock it in Keychain Access, then retry "
    "verification.";

std::string keychain_failure(const std::string& label, int status) {
  return label + " failed (macOS OSStatus " + std::to_string(status) +
         "). Check login Keychain access; the existing key was not replaced.";
}

RecordedAttributes base_query_record() {
  return {
      {"kSecClass", "kSecClassKey"},
      {"kSecAttrKeyType", "kSecAttrKeyTypeRSA"},
      {"kSecAttrKeyClass", "kSecAttrKeyClassPrivate"},
      {"kSecAttrApplicationTag", "<kTARN.Test.Key>"},
      {"kSecMatchSearchList", "[keychain " + kLoginKeychain + "]"},
      {"kSecAttrSynchronizable", "false"},
  };
}

RecordedAttributes lookup_query_record() {
  RecordedAttributes record = base_query_record();
  record["kSecReturnRef"] = "true";
  record["kSecMatchLimit"] = "kSecMatchLimitOne";
  return record;
}

TEST_F(BridgeTest, FirstKeyCreatesOneConformingKeyAndFindsItAgain) {
  const std::string first = call_text("key");
  EXPECT_TRUE(first.starts_with(R"({"ok":true,"result":{"publicDer":")")) << first;
  const RecordedAttributes creation = {
      {"kSecAttrKeyType", "kSecAttrKeyTypeRSA"},
      {"kSecAttrKeySizeInBits", "2048"},
      {"kSecAttrIsExtractable", "false"},
      {"kSecUseKeychain", "keychain " + kLoginKeychain},
      {"kSecPrivateKeyAttrs.kSecAttrIsPermanent", "true"},
      {"kSecPrivateKeyAttrs.kSecAttrApplicationTag", "<kTARN.Test.Key>"},
      {"kSecPrivateKeyAttrs.kSecAttrLabel", "\"kTARN.Test.Key\""},
      {"kSecPrivateKeyAttrs.kSecAttrIsExtractable", "false"},
      {"kSecPrivateKeyAttrs.kSecAttrIsSensitive", "true"},
      {"kSecPrivateKeyAttrs.kSecAttrCanSign", "true"},
      {"kSecPrivateKeyAttrs.kSecAttrSynchronizable", "false"},
  };
  EXPECT_EQ(scripted.keychain.dictionaries,
            (std::vector{lookup_query_record(), creation, lookup_query_record()}));
  EXPECT_EQ(scripted.keychain.items.size(), 1u);

  EXPECT_EQ(call_text("key"), first);
  EXPECT_EQ(count_calls("SecKeyCreateRandomKey"), 1u);
}

TEST_F(BridgeTest, DeletionUsesTheBaseQuery) {
  EXPECT_EQ(call_text("delete-key"), R"({"ok":true,"result":{"deleted":0}})");
  EXPECT_EQ(scripted.keychain.dictionaries, std::vector{base_query_record()});
}

struct PathCase {
  const char* reason;
  std::string home;
  std::set<std::string> existing;
  std::string opened;
};

TEST_F(BridgeTest, LoginKeychainPath) {
  const std::vector<PathCase> cases = {
      {"nothing exists", kHome, {}, kLoginKeychain},
      {"current file exists", kHome, {kLoginKeychainDb}, kLoginKeychainDb},
      {"both exist", kHome, {kLoginKeychainDb, kLoginKeychain}, kLoginKeychainDb},
      {"only the older file", kHome, {kLoginKeychain}, kLoginKeychain},
      {"home with trailing slash", std::string(kHome) + "/", {kLoginKeychainDb}, kLoginKeychainDb},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    scripted.keychain.home = c.home;
    scripted.keychain.existing_paths = c.existing;
    scripted.keychain.opened_paths.clear();
    call_text("delete-key");
    EXPECT_EQ(scripted.keychain.opened_paths, std::vector{c.opened});
  }
}

TEST_F(BridgeTest, KeychainThatDoesNotOpenIsReportedWithItsStatus) {
  scripted.keychain.open_status = -25294;
  for (const char* word : {"key", "sign", "delete-key"}) {
    EXPECT_EQ(call_text(word, kDigest), failure(keychain_failure("Login Keychain open", -25294)));
  }
  EXPECT_EQ(count_calls("SecKeychainGetStatus"), 0u);
  EXPECT_TRUE(scripted.keychain.dictionaries.empty());
}

struct LockCase {
  const char* reason;
  platform::OSStatus result;
  std::uint32_t word;
  bool unlocked;
};

TEST_F(BridgeTest, LockedKeychainStopsEveryOperationBeforeTheLookup) {
  const std::vector<LockCase> cases = {
      {"unlocked", 0, 1, true},
      {"locked", 0, 0, false},
      {"permission bits alone", 0, 6, false},
      {"status call fails", -25291, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    for (const char* word : {"key", "sign", "delete-key"}) {
      BridgeHarness run;
      run.scripted.keychain.add_key(kKeyName);
      run.scripted.keychain.get_status_result = c.result;
      run.scripted.keychain.status_word = c.word;
      const std::string text = run.call(kKeyName, word, kDigest).value_or("<NULL>");
      EXPECT_EQ(text.starts_with(R"({"ok":true)"), c.unlocked) << word << ": " << text;
      if (c.unlocked) continue;
      EXPECT_EQ(text, failure(kLocked)) << word;
      EXPECT_TRUE(run.scripted.keychain.dictionaries.empty()) << word;
      EXPECT_EQ(run.scripted.keychain.items.size(), 1u) << word;
    }
  }
}

using StoredKey = platform::scripted::ScriptedKeychain::StoredKey;

struct PolicyCase {
  const char* reason;
  void (*spoil)(StoredKey&);
  const char* message;
};

TEST_F(BridgeTest, ValidationPolicyRefusesWithoutReplacing) {
  const std::vector<PolicyCase> cases = {
      {"not a key", [](StoredKey& k) { k.is_key = false; }, "Stored Keychain item is not a key"},
      {"attributes unreadable", [](StoredKey& k) { k.reported.reset(); },
       "Device key attributes are unavailable; the existing key was not replaced"},
      {"1024 bits",
       [](StoredKey& k) { k.reported->set(Attr::kSecAttrKeySizeInBits, std::int64_t{1024}); },
       "Device key is not RSA-2048; the existing key was not replaced"},
      {"size missing", [](StoredKey& k) { k.reported->members.erase(Attr::kSecAttrKeySizeInBits); },
       "Device key is not RSA-2048; the existing key was not replaced"},
      {"elliptic curve",
       [](StoredKey& k) {
         k.reported->set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeECSECPrimeRandom);
       },
       "Device key is not RSA; the existing key was not replaced"},
      {"size reported before type",
       [](StoredKey& k) {
         k.reported->set(Attr::kSecAttrKeySizeInBits, std::int64_t{256});
         k.reported->set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeECSECPrimeRandom);
       },
       "Device key is not RSA-2048; the existing key was not replaced"},
      {"extractability missing",
       [](StoredKey& k) { k.reported->members.erase(Attr::kSecAttrIsExtractable); },
       "Device key extractability is unavailable; refusing to use or replace it"},
      {"extractable", [](StoredKey& k) { k.reported->set(Attr::kSecAttrIsExtractable, true); },
       "Device key is extractable; refusing to use or replace it. Explicit operator recovery is "
       "required"},
      {"extractability not a boolean",
       [](StoredKey& k) { k.reported->set(Attr::kSecAttrIsExtractable, std::int64_t{0}); },
       "Device key is extractable; refusing to use or replace it. Explicit operator recovery is "
       "required"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    for (const char* word : {"key", "sign"}) {
      BridgeHarness run;
      c.spoil(run.scripted.keychain.add_key(kKeyName));
      EXPECT_EQ(run.call(kKeyName, word, kDigest), failure(c.message)) << word;
      EXPECT_EQ(run.count_calls("SecKeyCreateRandomKey"), 0u);
      EXPECT_EQ(run.scripted.keychain.items.size(), 1u);
      EXPECT_EQ(run.count_calls("SecKeyCreateSignature"), 0u);
    }
  }
}

TEST_F(BridgeTest, LookupWithoutAnItemIsNotAKey) {
  scripted.keychain.copy_matching_status = 0;
  EXPECT_EQ(call_text("key"), failure("Stored Keychain item is not a key"));
}

TEST_F(BridgeTest, KeyIsFoundByItsTagAlone) {
  scripted.keychain.add_key(kKeyName).item.set(Attr::kSecAttrLabel, std::string("other label"));
  EXPECT_EQ(call_text("key"), R"({"ok":true,"result":{"publicDer":"MAMCAQA="}})");

  // A different tag, or a synchronizable item, is somebody else's: a new key is created.
  for (auto spoil :
       {+[](StoredKey& k) { k.item.set(Attr::kSecAttrApplicationTag, platform::Bytes{'x'}); },
        +[](StoredKey& k) { k.item.set(Attr::kSecAttrSynchronizable, true); }}) {
    BridgeHarness run;
    spoil(run.scripted.keychain.add_key(kKeyName));
    EXPECT_TRUE(run.call(kKeyName, "key")->starts_with(R"({"ok":true)"));
    EXPECT_EQ(run.count_calls("SecKeyCreateRandomKey"), 1u);
    EXPECT_EQ(run.scripted.keychain.items.size(), 2u);
  }
}

TEST_F(BridgeTest, LookupFailureIsReportedWithItsStatusAndCreatesNothing) {
  scripted.keychain.copy_matching_status = -25308;
  EXPECT_EQ(call_text("key"), failure(keychain_failure("Keychain lookup", -25308)));
  EXPECT_EQ(count_calls("SecKeyCreateRandomKey"), 0u);
}

TEST_F(BridgeTest, CreationFailure) {
  scripted.keychain.creation_fails = true;
  EXPECT_EQ(call_text("sign", kDigest),
            failure("Keychain key creation failed; check that the login Keychain is unlocked and "
                    "access is permitted"));
  EXPECT_TRUE(scripted.keychain.items.empty());
}

TEST_F(BridgeTest, NewKeyThatCannotBeFoundAgainIsALookupFailure) {
  scripted.keychain.creation_stores = false;
  EXPECT_EQ(call_text("key"), failure(keychain_failure("Keychain lookup", -25300)));
  EXPECT_EQ(count_calls("SecKeyCreateRandomKey"), 1u);
  EXPECT_EQ(count_calls("SecItemCopyMatching"), 2u);
}

}  // namespace
}  // namespace ktarn::bridge::testing
