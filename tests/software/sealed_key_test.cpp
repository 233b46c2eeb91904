// Sealing a key under a wrapping key, and the wrapping keys a Secret Service keeps: what opens,
// what does not, and what a locked, stopped or emptied keyring answers. The keyring tests run
// against a private gnome-keyring-daemon and skip where it is not installed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bridge/platform/software/keys/key_sealing.hpp"
#include "bridge/platform/software/keys/secret_service.hpp"
#include "support/private_keyring.hpp"
#include "support/software_tpm.hpp"

namespace ktarn::platform::software {
namespace {

using Blob = std::vector<std::uint8_t>;

Blob bytes_of(const std::string& text) {
  return Blob(text.begin(), text.end());
}

TEST(KeySealing, OpensOnlyUnderItsKeyForItsItem) {
  const SecretBytes key = new_wrapping_key();
  const SecretBytes other_key = new_wrapping_key();
  ASSERT_EQ(key.view().size(), kWrappingKeySize);
  const Blob secret = bytes_of("private key DER");
  const Blob identity = bytes_of("keychain 1 row 7");
  auto sealed = seal_secret(key.view(), secret, identity);
  ASSERT_TRUE(sealed);
  auto opened = open_sealed(key.view(), *sealed, identity);
  ASSERT_TRUE(opened);
  EXPECT_EQ(Blob(opened->view().begin(), opened->view().end()), secret);
  // A fresh nonce for every seal: the same secret never seals to the same bytes.
  EXPECT_NE(*seal_secret(key.view(), secret, identity), *sealed);

  struct Case {
    const char* name;
    Blob key;
    Blob blob;
    Blob identity;
  };
  const Blob right_key(key.view().begin(), key.view().end());
  auto flipped = [&](std::size_t at) {
    Blob blob = *sealed;
    blob[at] ^= 0x01;
    return blob;
  };
  const std::vector<Case> cases = {
      {"another wrapping key", Blob(other_key.view().begin(), other_key.view().end()), *sealed,
       identity},
      {"another row", right_key, *sealed, bytes_of("keychain 1 row 8")},
      {"another keychain", right_key, *sealed, bytes_of("keychain 2 row 7")},
      {"format byte changed", right_key, flipped(0), identity},
      {"nonce changed", right_key, flipped(1), identity},
      {"ciphertext changed", right_key, flipped(14), identity},
      {"tag changed", right_key, flipped(sealed->size() - 1), identity},
      {"cut short", right_key, Blob(sealed->begin(), sealed->end() - 1), identity},
      {"shorter than its framing", right_key, Blob(sealed->begin(), sealed->begin() + 20),
       identity},
      {"wrapping key of the wrong size", Blob(right_key.begin(), right_key.end() - 1), *sealed,
       identity},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(open_sealed(c.key, c.blob, c.identity)) << c.name;
  }
}

// One keyring and bus for the suite, since this process keeps its connection to the session bus
// it first reached; each test uses keychain identities of its own.
class WrappingKeyStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!ktarn::testing::private_keyring_missing().empty()) return;
    keyring_ = std::make_unique<ktarn::testing::PrivateKeyring>();
    bus_ = std::make_unique<ktarn::testing::ScopedVariable>("DBUS_SESSION_BUS_ADDRESS",
                                                            keyring_->bus_address());
  }
  static void TearDownTestSuite() {
    bus_.reset();
    keyring_.reset();
  }
  void SetUp() override {
    if (std::string missing = ktarn::testing::private_keyring_missing(); !missing.empty()) {
      GTEST_SKIP() << missing;
    }
    ASSERT_TRUE(keyring_->running() || keyring_->start());
  }
  void TearDown() override {
    if (keyring_) {
      EXPECT_FALSE(keyring_->prompter_started());
    }
  }

  static Blob bytes(const SealResult<SecretBytes>& key) {
    return key ? Blob(key->view().begin(), key->view().end()) : Blob();
  }

  static inline std::unique_ptr<ktarn::testing::PrivateKeyring> keyring_;
  static inline std::unique_ptr<ktarn::testing::ScopedVariable> bus_;
};

TEST_F(WrappingKeyStoreTest, KeyIsReadOnlyWhileItsCollectionIsUnlocked) {
  WrappingKeyStore store;
  const Blob stored = bytes(store.store_new_wrapping_key("k1"));
  ASSERT_EQ(stored.size(), kWrappingKeySize);
  EXPECT_EQ(bytes(store.wrapping_key("k1")), stored);
  EXPECT_EQ(store.wrapping_key("k2").error(), SealFailure::kLocked);

  ASSERT_TRUE(keyring_->lock());
  // The same store read the key a moment ago; locked now, it is withheld all the same.
  EXPECT_EQ(store.wrapping_key("k1").error(), SealFailure::kLocked);
  EXPECT_EQ(WrappingKeyStore().wrapping_key("k1").error(), SealFailure::kLocked);
  EXPECT_EQ(store.store_new_wrapping_key("k3").error(), SealFailure::kLocked);

  ASSERT_TRUE(keyring_->unlock());
  EXPECT_EQ(bytes(store.wrapping_key("k1")), stored);
  EXPECT_EQ(bytes(WrappingKeyStore().wrapping_key("k1")), stored);
}

// The key is kept between uses, and a change the keyring made is seen by the very next use: the
// keyring announces it before it answers whoever asked for it, so a lock or a deletion that has
// returned to this test is already waiting on the store's connection. Many rounds, since a store
// that missed the announcement would answer from its kept key now and then.
TEST_F(WrappingKeyStoreTest, AChangeThatReturnedIsSeenByTheNextUse) {
  WrappingKeyStore store;
  const Blob stored = bytes(store.store_new_wrapping_key("race1"));
  ASSERT_EQ(stored.size(), kWrappingKeySize);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(bytes(store.wrapping_key("race1")), stored);
    ASSERT_TRUE(keyring_->lock());
    ASSERT_EQ(store.wrapping_key("race1").error(), SealFailure::kLocked);
    ASSERT_TRUE(keyring_->unlock());
  }
  ASSERT_EQ(bytes(store.wrapping_key("race1")), stored);
  ASSERT_TRUE(keyring_->delete_items());
  EXPECT_EQ(store.wrapping_key("race1").error(), SealFailure::kLocked);
}

// A kept key is answered without asking: a keyring that cannot answer at all (stopped) still
// gets its key used, since nothing said it changed. The keyring sends some of its announcements
// of the item's creation a little after answering, and a store that sees one asks again; so the
// claim is that one of a few tries is answered while the keyring is stopped.
TEST_F(WrappingKeyStoreTest, AKeptKeyIsUsedWithoutAskingTheKeyring) {
  WrappingKeyStore store;
  const Blob stored = bytes(store.store_new_wrapping_key("kept1"));
  bool answered_while_stopped = false;
  for (int attempt = 0; attempt < 3 && !answered_while_stopped; ++attempt) {
    ASSERT_EQ(bytes(store.wrapping_key("kept1")), stored);
    keyring_->pause();
    answered_while_stopped = bytes(store.wrapping_key("kept1")) == stored;
    keyring_->resume();
  }
  EXPECT_TRUE(answered_while_stopped);
}

// Two items for one keychain: which one sealed its keys cannot be told, so neither is used.
TEST_F(WrappingKeyStoreTest, TwoItemsForOneKeychainAreUsedNeither) {
  WrappingKeyStore store;
  ASSERT_TRUE(store.store_new_wrapping_key("twice"));
  ASSERT_TRUE(store.store_new_wrapping_key("twice"));
  EXPECT_EQ(store.wrapping_key("twice").error(), SealFailure::kFailed);
  EXPECT_EQ(WrappingKeyStore().wrapping_key("twice").error(), SealFailure::kFailed);
  store.remove_wrapping_key("twice");
  EXPECT_EQ(WrappingKeyStore().wrapping_key("twice").error(), SealFailure::kLocked);
}

TEST_F(WrappingKeyStoreTest, KeyringThatWentAwayIsLockedUntilItIsBack) {
  WrappingKeyStore store;
  const Blob stored = bytes(store.store_new_wrapping_key("gone1"));
  ASSERT_EQ(stored.size(), kWrappingKeySize);
  keyring_->kill_keyring();
  EXPECT_EQ(store.wrapping_key("gone1").error(), SealFailure::kLocked);
  EXPECT_EQ(store.store_new_wrapping_key("gone2").error(), SealFailure::kLocked);
  ASSERT_TRUE(keyring_->start());
  EXPECT_EQ(bytes(store.wrapping_key("gone1")), stored);
}

TEST_F(WrappingKeyStoreTest, RemovedKeyIsGone) {
  WrappingKeyStore store;
  ASSERT_TRUE(store.store_new_wrapping_key("removed1"));
  ASSERT_TRUE(store.store_new_wrapping_key("removed2"));
  store.remove_wrapping_key("removed1");
  EXPECT_EQ(store.wrapping_key("removed1").error(), SealFailure::kLocked);
  EXPECT_EQ(WrappingKeyStore().wrapping_key("removed1").error(), SealFailure::kLocked);
  EXPECT_TRUE(store.wrapping_key("removed2"));
}

// This program's processes are given a bus that reaches nothing; none named at all, one that
// would have a bus launched, and one whose socket is missing are the same, and none of them
// starts anything.
TEST(WrappingKeyStoreWithoutBus, NoReachableSessionBusIsLocked) {
  for (const char* address : {"disabled:", "", "autolaunch:", "unix:path=/nonexistent/bus",
                              "unix:path=/nonexistent/bus;autolaunch:"}) {
    SCOPED_TRACE(address);
    ktarn::testing::ScopedVariable bus("DBUS_SESSION_BUS_ADDRESS", address);
    WrappingKeyStore store;
    EXPECT_EQ(store.store_new_wrapping_key("k1").error(), SealFailure::kLocked);
    EXPECT_EQ(store.wrapping_key("k1").error(), SealFailure::kLocked);
  }
}

}  // namespace
}  // namespace ktarn::platform::software
