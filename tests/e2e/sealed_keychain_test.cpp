// What a sealed keychain promises beyond the suites every kind of key shares: its keys are
// withheld, exactly as a locked keychain's are, whenever the keyring holding its wrapping key is
// locked, gone or without that key, and nothing is created, replaced or removed meanwhile; they
// are back as they were once the keyring is; a copy of the file elsewhere is useless; where new
// keys go follows what answers; and a software keychain is sealed in place with its keys kept.
// Each test has a private keyring of its own and skips where gnome-keyring-daemon is missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/key_storage.hpp"
#include "e2e/keychain_session.hpp"
#include "e2e/keychain_tool.hpp"

namespace ktarn::e2e {
namespace {

constexpr const char* kNoTpm = "TPM2OPENSSL_TCTI=swtpm:port=1";

// The answer a companion gives for "key" on a keychain locked with ktarn-keychain lock.
std::string locked_keychain_message() {
  const TemporaryHome home;
  run_tool(home.path(), home, {"create", "--software"});
  run_tool(home.path(), home, {"lock"});
  const auto answers = run_session(keychain_options(home, "kTARN.e2e.locked"), {key_request("k")});
  return answers.size() == 1 && !answers[0].ok ? answers[0].error : "no locked answer";
}

std::string copy_keychain(const TemporaryHome& from, const TemporaryHome& to) {
  std::filesystem::create_directories(to.path() + "/Library/Keychains");
  std::filesystem::permissions(to.path() + "/Library", std::filesystem::perms::owner_all);
  std::filesystem::permissions(to.path() + "/Library/Keychains", std::filesystem::perms::owner_all);
  const std::string copy = to.path() + "/Library/Keychains/login.keychain";
  std::filesystem::copy_file(keychain_file(from), copy);
  return copy;
}

// The libraries the running process has mapped, as the kernel lists them.
std::string mapped_files(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::ostringstream text;
  text << maps.rdbuf();
  return text.str();
}

class SealedKeychain : public ::testing::Test {
 protected:
  void SetUp() override {
    KTARN_SKIP_UNLESS_TESTABLE(storage_);
    ASSERT_EQ(storage_.make_keychain(home_), "");
    companion_ = std::make_unique<CompanionProcess>(storage_.companion_options(home_));
    const auto made = ask_each(*companion_, {key_request("k"), sign_request("s")});
    ASSERT_EQ(made.size(), 2u);
    ASSERT_TRUE(made[0].ok && made[1].ok) << made[0].error << made[1].error;
    key_id_ = made[0].key_id;
  }
  void TearDown() override {
    if (storage_.keyring() != nullptr) {
      EXPECT_FALSE(storage_.keyring()->prompter_started()) << "something prompted";
    }
  }

  // Every operation, in the companion that used the key and in a new one, answers as a locked
  // keychain does, and the keychain file stays exactly as it was.
  void expect_withheld(const std::string& why) {
    SCOPED_TRACE(why);
    const std::string locked = locked_keychain_message();
    const std::string before = file_bytes(keychain_file(home_));
    const std::vector<std::string> lines = {key_request("k"), sign_request("s"),
                                            delete_request("d")};
    const auto running = ask_each(*companion_, lines);
    const auto fresh = run_session(storage_.companion_options(home_), lines);
    ASSERT_EQ(running.size(), 3u);
    ASSERT_EQ(fresh.size(), 3u);
    for (const auto* answers : {&running, &fresh}) {
      for (const Answer& answer : *answers) {
        EXPECT_FALSE(answer.ok) << answer.id;
        EXPECT_EQ(answer.error, locked) << answer.id;
      }
    }
    EXPECT_EQ(file_bytes(keychain_file(home_)), before)
        << "nothing is created, replaced or removed";
  }

  // The key is the one made in SetUp, in the companion that used it and in a new one.
  void expect_same_key(const std::string& why) {
    SCOPED_TRACE(why);
    const auto running = ask_each(*companion_, {key_request("k"), sign_request("s")});
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running[0].key_id, key_id_) << running[0].error;
    EXPECT_TRUE(running[1].signed_payload) << running[1].error;
    const auto fresh = run_session(storage_.companion_options(home_), {key_request("k")});
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].key_id, key_id_) << fresh[0].error;
  }

  StorageUnderTest storage_{KeyStorage::kSealed};
  TemporaryHome home_;
  std::unique_ptr<CompanionProcess> companion_;
  std::string key_id_;
};

TEST_F(SealedKeychain, ALockedKeyringWithholdsTheKeyUntilItIsUnlocked) {
  ASSERT_TRUE(storage_.keyring()->lock());
  expect_withheld("keyring locked");
  EXPECT_EQ(run_tool(home_.path(), home_, {"status"}, storage_.tool_environment()).out,
            "locked storage=sealed\n");
  ASSERT_TRUE(storage_.keyring()->unlock());
  expect_same_key("keyring unlocked again");
  EXPECT_EQ(run_tool(home_.path(), home_, {"status"}, storage_.tool_environment()).out,
            "unlocked storage=sealed\n");
}

// A companion keeps the wrapping key between requests, yet a lock that has returned to whoever
// asked for it refuses the very next request, and an unlock lets the next one through: the
// keyring announces the change before it answers, and the companion reads what arrived before
// each request. Many rounds, since a companion that missed an announcement would sign now and then.
TEST_F(SealedKeychain, ALockThatReturnedRefusesTheNextRequest) {
  const std::string locked = locked_keychain_message();
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(storage_.keyring()->lock());
    const auto refused = ask_each(*companion_, {sign_request("l")});
    ASSERT_EQ(refused.size(), 1u);
    ASSERT_EQ(refused[0].error, locked);
    ASSERT_TRUE(storage_.keyring()->unlock());
    const auto signed_again = ask_each(*companion_, {sign_request("u")});
    ASSERT_EQ(signed_again.size(), 1u);
    ASSERT_TRUE(signed_again[0].signed_payload) << signed_again[0].error;
  }
  ASSERT_TRUE(storage_.keyring()->delete_items());
  const auto deleted = ask_each(*companion_, {sign_request("d")});
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(deleted[0].error, locked);
}

TEST_F(SealedKeychain, AKeyringThatDiedWithholdsTheKeyUntilItIsBack) {
  storage_.keyring()->kill_keyring();
  expect_withheld("keyring killed");
  ASSERT_TRUE(storage_.keyring()->start());
  expect_same_key("keyring started again");
}

TEST_F(SealedKeychain, ADeletedWrappingKeyWithholdsTheKeyAndIsNeverReplaced) {
  const auto listed = listed_items(home_);
  ASSERT_TRUE(storage_.keyring()->delete_items());
  expect_withheld("wrapping key deleted");
  EXPECT_EQ(listed_items(home_), listed);
  EXPECT_EQ(run_tool(home_.path(), home_, {"status"}, storage_.tool_environment()).out,
            "locked storage=sealed\n");
}

TEST_F(SealedKeychain, ACopyBesideAnotherKeyringIsWithheldAndLeftAlone) {
  const StorageUnderTest elsewhere(KeyStorage::kSealed);
  KTARN_SKIP_UNLESS_TESTABLE(elsewhere);
  const TemporaryHome other_home;
  const std::string copy = copy_keychain(home_, other_home);
  const std::string copied = file_bytes(copy);
  const std::string locked = locked_keychain_message();
  const auto there = run_session(elsewhere.companion_options(other_home),
                                 {key_request("k"), sign_request("s"), delete_request("d")});
  ASSERT_EQ(there.size(), 3u);
  for (const Answer& answer : there) EXPECT_EQ(answer.error, locked) << answer.id;
  EXPECT_EQ(file_bytes(copy), copied) << "the key must be neither replaced nor removed";
  expect_same_key("its own keyring still opens it");
}

// Where a new keychain's keys go, with a keyring answering or not, and no TPM.
TEST(SealedKeychainKinds, NewKeysAreSealedWhenAKeyringAnswers) {
  const StorageUnderTest keyring(KeyStorage::kSealed);
  KTARN_SKIP_UNLESS_TESTABLE(keyring);
  const std::string bus = "DBUS_SESSION_BUS_ADDRESS=" + keyring.keyring()->bus_address();
  struct Case {
    const char* what;
    std::vector<std::string> create;  // empty: the companion makes the keychain on first use
    bool keyring_answers;
    const char* status;  // what status says afterwards
  };
  const Case cases[] = {
      {"create while a keyring answers", {"create"}, true, "unlocked storage=sealed\n"},
      {"create --sealed", {"create", "--sealed"}, true, "unlocked storage=sealed\n"},
      {"create --software while a keyring answers",
       {"create", "--software"},
       true,
       "unlocked storage=software\n"},
      {"create without a keyring", {"create"}, false, "unlocked storage=software\n"},
      {"first use while a keyring answers", {}, true, "unlocked storage=sealed\n"},
      {"first use without a keyring", {}, false, "unlocked storage=software\n"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.what);
    const TemporaryHome home;
    std::vector<std::string> environment = {kNoTpm};
    if (each.keyring_answers) environment.push_back(bus);
    if (!each.create.empty()) {
      ASSERT_EQ(run_tool(home.path(), home, each.create, environment).exit_status, 0);
    }
    ProcessOptions options = keyring.companion_options(home);
    for (EnvironmentChange& change : options.environment) {
      if (change.name == "DBUS_SESSION_BUS_ADDRESS" && !each.keyring_answers) {
        change.value = "disabled:";
      }
    }
    const auto answers = run_session(options, {key_request("k"), sign_request("s")});
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers[0].ok && answers[1].ok) << answers[0].error << answers[1].error;
    EXPECT_EQ(run_tool(home.path(), home, {"status"}, environment).out, each.status);
  }
}

// The bus client is loaded by a keychain that needs it only: a companion whose keychain is plain
// maps no D-Bus library even while a keyring answers on its bus, and a sealed one maps libdbus
// alone, no GLib and no keyring client library.
TEST(SealedKeychainKinds, OnlyASealedKeychainLoadsTheBusClient) {
  const StorageUnderTest keyring(KeyStorage::kSealed);
  KTARN_SKIP_UNLESS_TESTABLE(keyring);
  struct Case {
    const char* create;
    bool maps_libdbus;
  };
  for (const Case& each : {Case{"--software", false}, Case{"--sealed", true}}) {
    SCOPED_TRACE(each.create);
    const TemporaryHome home;
    ASSERT_EQ(run_tool(home.path(), home, {"create", each.create}, keyring.tool_environment())
                  .exit_status,
              0);
    CompanionProcess companion(keyring.companion_options(home));
    const auto answers = ask_each(companion, {key_request("k"), sign_request("s")});
    ASSERT_EQ(answers.size(), 2u);
    ASSERT_TRUE(answers[1].signed_payload) << answers[1].error;
    const std::string maps = mapped_files(companion.pid());
    ASSERT_NE(maps.find("ktarn-companion"), std::string::npos);
    EXPECT_EQ(maps.find("libdbus-1") != std::string::npos, each.maps_libdbus);
    for (const char* library : {"libglib-2.0", "libgio-2.0", "libgobject-2.0", "libsecret"}) {
      EXPECT_EQ(maps.find(library), std::string::npos) << library;
    }
  }
}

TEST(SealedKeychainKinds, CreateSealedWithoutAnUnlockedKeyringFailsAndMakesNothing) {
  const StorageUnderTest keyring(KeyStorage::kSealed);
  KTARN_SKIP_UNLESS_TESTABLE(keyring);
  ASSERT_TRUE(keyring.keyring()->lock());
  const std::string message =
      "ktarn-keychain: the Secret Service holding the keychain's wrapping key is locked, gone or "
      "not running; unlock it through the desktop; nothing was created (OSStatus -25308)\n";
  const std::vector<std::vector<std::string>> environments = {
      {kNoTpm}, {kNoTpm, "DBUS_SESSION_BUS_ADDRESS=" + keyring.keyring()->bus_address()}};
  for (const auto& environment : environments) {
    const TemporaryHome home;
    const ToolResult made = run_tool(home.path(), home, {"create", "--sealed"}, environment);
    EXPECT_EQ(made.exit_status, 1);
    EXPECT_EQ(made.err, message);
    EXPECT_EQ(run_tool(home.path(), home, {"status"}).out, "missing\n");
  }
  EXPECT_FALSE(keyring.keyring()->prompter_started());
}

TEST(SealedKeychainKinds, SealingASoftwareKeychainKeepsEveryKey) {
  const StorageUnderTest keyring(KeyStorage::kSealed);
  KTARN_SKIP_UNLESS_TESTABLE(keyring);
  const TemporaryHome home;
  ASSERT_EQ(run_tool(home.path(), home, {"create", "--software"}).exit_status, 0);
  const std::vector<std::string> names = {"kTARN.e2e.first", "kTARN.e2e.second"};
  std::vector<Answer> before;
  for (const std::string& name : names) {
    const auto made = run_session(keychain_options(home, name), {key_request("k")});
    ASSERT_EQ(made.size(), 1u);
    ASSERT_TRUE(made[0].ok) << made[0].error;
    before.push_back(made[0]);
  }
  const auto listed = listed_items(home);
  ASSERT_TRUE(listed && listed->size() == 2u);
  const std::vector<std::string> environment = {
      kNoTpm, "DBUS_SESSION_BUS_ADDRESS=" + keyring.keyring()->bus_address()};

  // Locked, nothing changes; unlocked, the keychain is sealed with the same keys.
  ASSERT_TRUE(keyring.keyring()->lock());
  const std::string unsealed = file_bytes(keychain_file(home));
  EXPECT_EQ(run_tool(home.path(), home, {"seal"}, environment).exit_status, 1);
  EXPECT_EQ(file_bytes(keychain_file(home)), unsealed);
  ASSERT_TRUE(keyring.keyring()->unlock());
  const ToolResult sealed = run_tool(home.path(), home, {"seal"}, environment);
  ASSERT_EQ(sealed.exit_status, 0) << sealed.err;
  EXPECT_EQ(run_tool(home.path(), home, {"status"}, environment).out, "unlocked storage=sealed\n");
  const auto listed_after = listed_items(home);
  ASSERT_TRUE(listed_after && listed_after->size() == 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    std::string expected = (*listed)[i];
    expected.replace(expected.rfind("storage=software"), 16, "storage=sealed");
    EXPECT_EQ((*listed_after)[i], expected);
  }
  const std::string file = file_bytes(keychain_file(home));
  for (std::size_t i = 0; i < names.size(); ++i) {
    ProcessOptions options = keyring.companion_options(home);
    options.arguments = {"--key-name", names[i]};
    const auto after = run_session(options, {key_request("k"), sign_request("s")});
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].key_id, before[i].key_id) << after[0].error;
    EXPECT_TRUE(after[1].signed_payload) << after[1].error;
    EXPECT_FALSE(holds_private_key(file, decode_base64url(before[i].modulus)));
  }
  const ToolResult again = run_tool(home.path(), home, {"seal"}, environment);
  EXPECT_EQ(again.exit_status, 1);
  EXPECT_TRUE(again.err.ends_with("(OSStatus -50)\n")) << again.err;
  EXPECT_FALSE(keyring.keyring()->prompter_started());
}

}  // namespace
}  // namespace ktarn::e2e
