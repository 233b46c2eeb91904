// What a TPM keychain promises beyond the suites both kinds of key share: its file is useless
// away from its TPM and holds no private key, a key whose TPM is gone fails with a status and is
// kept (until it is deleted), and where new keys go is the keychain's own choice.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "e2e/key_storage.hpp"
#include "e2e/keychain_session.hpp"
#include "e2e/keychain_tool.hpp"

namespace ktarn::e2e {
namespace {

// Copies the home's keychain file into another home's keychain folder; the copy's path.
std::string copy_keychain(const TemporaryHome& from, const TemporaryHome& to) {
  std::filesystem::create_directories(to.path() + "/Library/Keychains");
  std::filesystem::permissions(to.path() + "/Library", std::filesystem::perms::owner_all);
  std::filesystem::permissions(to.path() + "/Library/Keychains", std::filesystem::perms::owner_all);
  const std::string copy = to.path() + "/Library/Keychains/login.keychain";
  std::filesystem::copy_file(keychain_file(from), copy);
  return copy;
}

std::string status_of(const Answer& answer) {
  const auto start = answer.error.find("OSStatus ");
  if (answer.ok || start == std::string::npos) return "ok";
  return answer.error.substr(start + 9, answer.error.find(')') - start - 9);
}

TEST(TpmKeychain, ACopyServedByAnotherTpmNeitherSignsNorIsReplaced) {
  const StorageUnderTest first(KeyStorage::kTpm);
  KTARN_SKIP_UNLESS_TESTABLE(first);
  const TemporaryHome home;
  ASSERT_EQ(first.make_keychain(home), "");
  const auto made = run_session(first.companion_options(home), {key_request("k")});
  ASSERT_EQ(made.size(), 1u);
  ASSERT_TRUE(made[0].ok) << made[0].error;

  const StorageUnderTest second(KeyStorage::kTpm);
  const TemporaryHome elsewhere;
  const std::string copy = copy_keychain(home, elsewhere);
  const std::string copied = file_bytes(copy);
  const auto there = run_session(second.companion_options(elsewhere),
                                 {key_request("k"), sign_request("s"), key_request("again")});
  ASSERT_EQ(there.size(), 3u);
  for (const Answer& answer : there) EXPECT_EQ(status_of(answer), "-26275") << answer.error;
  EXPECT_EQ(file_bytes(copy), copied) << "the key must be neither replaced nor removed";

  const auto home_again = run_session(first.companion_options(home), {key_request("k")});
  ASSERT_EQ(home_again.size(), 1u);
  EXPECT_EQ(home_again[0].key_id, made[0].key_id) << "its own TPM still uses it";
}

TEST(TpmKeychain, AKeyWhoseTpmIsGoneFailsWithAStatusIsKeptAndCanBeDeleted) {
  StorageUnderTest storage(KeyStorage::kTpm);
  KTARN_SKIP_UNLESS_TESTABLE(storage);
  const TemporaryHome home;
  ASSERT_EQ(storage.make_keychain(home), "");
  ASSERT_EQ(run_session(storage.companion_options(home), {key_request("k")}).size(), 1u);
  const auto listed = listed_items(home);

  // A companion that had the key loaded, and a new one.
  CompanionProcess running(storage.companion_options(home));
  ASSERT_TRUE(ask_each(running, {key_request("before")}).at(0).ok);
  storage.stop_tpm();
  const auto gone =
      run_session(storage.companion_options(home), {key_request("k"), sign_request("s")});
  ASSERT_EQ(gone.size(), 2u);
  for (const Answer& answer : gone) EXPECT_EQ(status_of(answer), "-36") << answer.error;
  const auto still_running = ask_each(running, {sign_request("s"), sign_request("again")});
  ASSERT_EQ(still_running.size(), 2u);
  EXPECT_FALSE(still_running[0].ok);
  EXPECT_EQ(status_of(still_running[1]), "-36") << still_running[1].error;
  EXPECT_EQ(listed_items(home), listed);

  const auto deleted = run_session(storage.companion_options(home), {delete_request("d")});
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(deleted[0].deleted, 1);
  EXPECT_EQ(listed_items(home), std::vector<std::string>{});
}

class KeychainFileContents : public ::testing::TestWithParam<KeyStorage> {};

// The software case proves the search finds a key that is there; a sealed keychain's file holds
// only sealed blobs.
TEST_P(KeychainFileContents, OnlyASoftwareKeychainHoldsAPrivateKeyAReaderCouldTake) {
  const StorageUnderTest storage(GetParam());
  KTARN_SKIP_UNLESS_TESTABLE(storage);
  const TemporaryHome home;
  ASSERT_EQ(storage.make_keychain(home), "");
  const auto made = run_session(storage.companion_options(home), {key_request("k")});
  ASSERT_EQ(made.size(), 1u);
  ASSERT_TRUE(made[0].ok) << made[0].error;
  EXPECT_EQ(holds_private_key(file_bytes(keychain_file(home)), decode_base64url(made[0].modulus)),
            GetParam() == KeyStorage::kSoftware);
}

INSTANTIATE_TEST_SUITE_P(ByStorage, KeychainFileContents, kEveryStorage, storage_test_name);

// Where a keychain's new keys go, with a TPM answering or not.
TEST(TpmKeychain, NewKeysGoWhereTheKeychainSays) {
  const StorageUnderTest tpm(KeyStorage::kTpm);
  KTARN_SKIP_UNLESS_TESTABLE(tpm);
  struct Case {
    const char* what;
    std::vector<std::string> create;  // empty: the companion makes the keychain on first use
    bool tpm_answers;
    const char* listed_storage;
  };
  const Case cases[] = {
      {"made with --software while a TPM answers", {"create", "--software"}, true, "software"},
      {"made with --tpm", {"create", "--tpm"}, true, "tpm"},
      {"made with create while a TPM answers", {"create"}, true, "tpm"},
      {"made on first use while a TPM answers", {}, true, "tpm"},
      {"made on first use with no TPM", {}, false, "software"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.what);
    const TemporaryHome home;
    ProcessOptions options = tpm.companion_options(home);
    for (EnvironmentChange& change : options.environment) {
      // A TPM nothing listens for.
      if (change.name == "TPM2OPENSSL_TCTI" && !each.tpm_answers) change.value = "swtpm:port=1";
    }
    if (!each.create.empty()) {
      ASSERT_EQ(run_tool(home.path(), home, each.create, tpm.tool_environment()).exit_status, 0);
    }
    const auto answers = run_session(options, {key_request("k"), sign_request("s")});
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers[0].ok && answers[1].ok) << answers[0].error << answers[1].error;
    const auto items = listed_items(home);
    ASSERT_TRUE(items && items->size() == 1u);
    EXPECT_TRUE(items->front().ends_with(std::string(" storage=") + each.listed_storage))
        << items->front();
  }
}

// A companion whose TPM stack is disrupted between requests: the request right after fails or
// not, the first one after the stack is mended succeeds, no request waits on a stopped stack for
// much longer than the bound (30 seconds), and nothing of any library reaches standard error.
TEST(TpmKeychain, ARunningCompanionFollowsItsTpmStackAndWritesNothingToStandardError) {
  using Stack = StorageUnderTest;
  struct Case {
    const char* what;
    void (*disrupt)(Stack&);
    std::optional<bool> next_sign_fails;  // none: either, depending on who notices first
    void (*mend)(Stack&);                 // none: the stack stays broken
  };
  const Case cases[] = {
      {"the manager restarted", [](Stack& s) { ASSERT_TRUE(s.manager().restart()); }, false,
       nullptr},
      {"the manager killed, then started again", [](Stack& s) { s.manager().kill(); }, true,
       [](Stack& s) { ASSERT_TRUE(s.manager().restart()); }},
      {"the manager stopped, then let go on", [](Stack& s) { s.manager().pause(); }, true,
       [](Stack& s) { s.manager().resume(); }},
      {"the TPM behind the manager stopped, then let go on", [](Stack& s) { s.tpm().pause(); },
       true, [](Stack& s) { s.tpm().resume(); }},
      // The manager's clients reach it through a socket of their own once connected, but the
      // manager may end once it finds its bus gone, sooner or later than the next request.
      {"the manager's bus killed", [](Stack& s) { s.manager().kill_bus(); }, std::nullopt, nullptr},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.what);
    StorageUnderTest storage(KeyStorage::kTpm);
    KTARN_SKIP_UNLESS_TESTABLE(storage);
    const TemporaryHome home;
    ASSERT_EQ(storage.make_keychain(home), "");
    CompanionProcess running(storage.companion_options(home));
    const auto before = ask_each(running, {key_request("k"), sign_request("s")});
    ASSERT_TRUE(before.at(0).ok && before.at(1).ok) << before[0].error << before[1].error;
    each.disrupt(storage);
    const auto start = std::chrono::steady_clock::now();
    const auto next = ask_each(running, {sign_request("next")});
    ASSERT_EQ(next.size(), 1u) << "no answer";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
    if (each.next_sign_fails) {
      EXPECT_EQ(next[0].ok, !*each.next_sign_fails) << next[0].error;
    }
    if (each.mend != nullptr) {
      each.mend(storage);
      const auto mended = ask_each(running, {sign_request("mended"), key_request("k")});
      ASSERT_EQ(mended.size(), 2u);
      EXPECT_TRUE(mended[0].ok) << "the first signature after: " << mended[0].error;
      EXPECT_EQ(mended[1].key_id, before[0].key_id);
    }
    const ProcessResult ended = running.finish();
    EXPECT_EQ(ended.exit_status, 0);
    EXPECT_EQ(ended.err, "");
  }
}

// Making the key is cut off by the manager's death; the next request makes it.
TEST(TpmKeychain, ACreationCutOffByTheTpmStacksDeathIsMadeByTheNextRequest) {
  for (const int delay : {50, 125}) {
    SCOPED_TRACE(std::to_string(delay) + " ms into it");
    StorageUnderTest storage(KeyStorage::kTpm);
    KTARN_SKIP_UNLESS_TESTABLE(storage);
    const TemporaryHome home;
    ASSERT_EQ(storage.make_keychain(home), "");
    CompanionProcess running(storage.companion_options(home));
    ASSERT_TRUE(running.write(key_request("cut") + "\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    ASSERT_TRUE(storage.manager().restart());
    ASSERT_TRUE(running.read_line()) << "the cut request was not answered";
    const auto after = ask_each(running, {key_request("k"), sign_request("s")});
    ASSERT_EQ(after.size(), 2u);
    EXPECT_TRUE(after[0].ok && after[1].ok) << after[0].error << after[1].error;
    const ProcessResult ended = running.finish();
    EXPECT_EQ(ended.exit_status, 0);
    EXPECT_EQ(ended.err, "");
  }
}

// The tool with its TPM's manager gone: one line on standard error for --tpm, none for create.
TEST(TpmKeychain, TheToolWritesOnlyItsOwnLineWhenTheTpmStackIsGone) {
  StorageUnderTest storage(KeyStorage::kTpm);
  KTARN_SKIP_UNLESS_TESTABLE(storage);
  storage.manager().kill();
  const TemporaryHome tpm_home;
  const ToolResult tpm_only =
      run_tool(tpm_home.path(), tpm_home, {"create", "--tpm"}, storage.tool_environment());
  EXPECT_EQ(tpm_only.exit_status, 1);
  EXPECT_EQ(tpm_only.err,
            "ktarn-keychain: no TPM is reachable; nothing was created (OSStatus -36)\n");
  const TemporaryHome home;
  const ToolResult plain = run_tool(home.path(), home, {"create"}, storage.tool_environment());
  EXPECT_EQ(plain.exit_status, 0);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(run_tool(home.path(), home, {"status"}).out, "unlocked storage=software\n");
}

// An empty TPM variable counts as unset: a simulator on its well-known loopback port, which any
// local user could start, is never taken for the TPM.
TEST(TpmKeychain, AnEmptyTpmVariableNeverTakesASimulator) {
  if (std::string missing = ktarn::testing::software_tpm_missing(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  if (std::filesystem::exists("/dev/tpmrm0")) GTEST_SKIP() << "this machine has a TPM";
  constexpr int kSimulatorPort = 2321;
  const ktarn::testing::SoftwareTpm squatter(kSimulatorPort);
  if (!squatter.running()) GTEST_SKIP() << "the simulator port is busy";
  const TemporaryHome home;
  const ToolResult made = run_tool(home.path(), home, {"create", "--tpm"}, {"TPM2OPENSSL_TCTI="});
  EXPECT_EQ(made.exit_status, 1);
  EXPECT_EQ(made.err, "ktarn-keychain: no TPM is reachable; nothing was created (OSStatus -36)\n");
  EXPECT_EQ(run_tool(home.path(), home, {"status"}).out, "missing\n");
}

TEST(TpmKeychain, CreateTpmWithoutATpmFailsAndMakesNothing) {
  const TemporaryHome home;
  const ToolResult made =
      run_tool(home.path(), home, {"create", "--tpm"}, {"TPM2OPENSSL_TCTI=swtpm:port=1"});
  EXPECT_EQ(made.exit_status, 1);
  EXPECT_EQ(made.err, "ktarn-keychain: no TPM is reachable; nothing was created (OSStatus -36)\n");
  EXPECT_EQ(run_tool(home.path(), home, {"status"}).out, "missing\n");
}

}  // namespace
}  // namespace ktarn::e2e
