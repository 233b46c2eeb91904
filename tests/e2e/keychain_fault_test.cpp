// The login keychain under faults, through the real companion: companions killed at any moment,
// many companions racing on first use, keychain files that are not what they should be, a full
// disk and a read-only keychain folder. Whatever happens, the device key that exists is never
// lost or replaced, and the keychain stays usable by the next companion.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "base/concat.hpp"
#include "e2e/disk_faults.hpp"
#include "e2e/key_storage.hpp"
#include "e2e/keychain_session.hpp"
#include "json/parse_json.hpp"

namespace ktarn::e2e {
namespace {

constexpr std::string_view kKeyName = "kTARN.e2e.faults";
constexpr std::string_view kCreationFailure =
    "Keychain key creation failed; check that the login Keychain is unlocked and access is "
    "permitted";

std::string keychain_folder(const TemporaryHome& home) {
  return home.path() + "/Library/Keychains";
}

// Creates the device key; its identifier, or empty when that failed.
std::string create_key(const TemporaryHome& home) {
  return current_key_id(home, kKeyName);
}

// Checked only where the administration tool is built.
void expect_stored_items(const TemporaryHome& home, std::size_t count) {
  const auto items = listed_items(home);
  if (items) {
    EXPECT_EQ(items->size(), count);
  }
}

// The seed of a randomised test: KTARN_E2E_SEED to repeat a failing run, a fresh one otherwise.
unsigned test_seed() {
  const char* given = std::getenv("KTARN_E2E_SEED");
  return given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                          : std::random_device{}();
}

// What one killed companion was asked to do, and how long it was given before SIGKILL: long
// enough to reach any point of its work, which for a new key includes generating it.
struct KilledRound {
  const char* what;
  std::vector<std::string> lines;
  int longest_delay_ms;
  bool deletes;         // the key may rightly be a new one afterwards
  bool fresh_keychain;  // the keychain folder is removed first, so the file is made anew
};

std::vector<KilledRound> killed_rounds() {
  std::vector<std::string> signs;
  for (int i = 0; i < 12; ++i) {
    signs.push_back(sign_request(concat("s", std::to_string(i))));
  }
  return {
      {"looking up", {key_request("k1"), key_request("k2")}, 150, false, false},
      {"signing", signs, 150, false, false},
      {"deleting", {delete_request("d"), health_request_line("h")}, 150, true, false},
      {"creating after deletion", {delete_request("d"), key_request("k")}, 900, true, false},
      {"signing after deletion", {delete_request("d"), sign_request("s")}, 900, true, false},
      {"creating the keychain", {sign_request("s"), key_request("k")}, 900, true, true},
  };
}

std::string request_id(std::string_view line) {
  const json::ParseResult request = json::parse_json(line);
  const json::JsonValue* id = request ? json::find_member(*request, "id") : nullptr;
  return id != nullptr && id->as_string().has_value() ? std::string(*id->as_string())
                                                      : std::string();
}

// The answers a killed companion gave before it died must still be normal ones, in order.
void expect_answers_before_death(const ProcessResult& result, const KilledRound& round) {
  std::istringstream out(result.out);
  std::size_t index = 0;
  for (std::string line; std::getline(out, line); ++index) {
    ASSERT_LT(index, round.lines.size()) << line;
    const auto answer = read_answer(line);
    ASSERT_TRUE(answer.has_value()) << line;
    EXPECT_TRUE(answer->ok) << line;
    EXPECT_EQ(answer->id, request_id(round.lines[index])) << line;
  }
}

// Run against a keychain of software keys, one of TPM keys and one of sealed keys; the TPM and the
// keyring are reached by every companion the test starts.
class KeychainFaultsByStorage : public ::testing::TestWithParam<KeyStorage> {
 protected:
  void SetUp() override { KTARN_SKIP_UNLESS_TESTABLE(storage_); }

  // Each listed item's kind is the one under test.
  void expect_listed_storage(const TemporaryHome& home) {
    const std::string kind = GetParam() == KeyStorage::kTpm      ? " storage=tpm"
                             : GetParam() == KeyStorage::kSealed ? " storage=sealed"
                                                                 : " storage=software";
    for (const std::string& item : listed_items(home).value_or(std::vector<std::string>{})) {
      EXPECT_TRUE(item.ends_with(kind)) << item;
    }
  }

  StorageUnderTest storage_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(ByStorage, KeychainFaultsByStorage, kEveryStorage, storage_test_name);

TEST_P(KeychainFaultsByStorage, CompanionsKilledAtRandomMomentsNeverLoseOrReplaceTheKey) {
  const unsigned seed = test_seed();
  SCOPED_TRACE("KTARN_E2E_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const TemporaryHome home;
  ASSERT_EQ(storage_.make_keychain(home), "");
  const std::vector<KilledRound> rounds = killed_rounds();
  std::string known_key;  // empty while no key is known to exist
  for (int number = 0; number < 24; ++number) {
    const KilledRound& round = rounds[random() % rounds.size()];
    const int delay_ms = static_cast<int>(random() % (round.longest_delay_ms + 1));
    SCOPED_TRACE("round " + std::to_string(number) + " (" + round.what + "), killed after " +
                 std::to_string(delay_ms) + " ms");
    if (round.fresh_keychain) {
      std::filesystem::remove_all(home.path() + "/Library");
      ASSERT_EQ(storage_.make_keychain(home), "");
    }
    CompanionProcess companion(keychain_options(home, kKeyName));
    std::string input;
    for (const std::string& line : round.lines) input += line + "\n";
    companion.write(input);  // standard input stays open: the companion waits, never ends
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    ::kill(companion.pid(), SIGKILL);
    const ProcessResult killed = companion.finish();
    expect_answers_before_death(killed, round);

    const auto check = run_session(keychain_options(home, kKeyName),
                                   {key_request("check"), sign_request("check")});
    ASSERT_EQ(check.size(), 2u);
    ASSERT_TRUE(check[0].ok) << check[0].error;
    EXPECT_TRUE(check[1].ok && check[1].signed_payload) << check[1].error;
    if (!known_key.empty() && !round.deletes) {
      EXPECT_EQ(check[0].key_id, known_key);
    }
    known_key = check[0].key_id;
    expect_stored_items(home, 1);
    expect_listed_storage(home);
  }
}

// Each round starts all companions at once on a fresh keychain; those that lose the race to
// store the key store nothing and use the winner's. The keychain is made on first use as well,
// and takes the TPM where one answers.
TEST_P(KeychainFaultsByStorage, SixteenCompanionsRacingOnFirstUseStoreAndUseOneKey) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const TemporaryHome home;
    std::vector<std::unique_ptr<CompanionProcess>> companions;
    for (int i = 0; i < 16; ++i) {
      companions.push_back(std::make_unique<CompanionProcess>(keychain_options(home, kKeyName)));
    }
    // Every companion gets its request before any answer is read, so all of them look for the
    // key while none has been stored yet.
    for (auto& companion : companions) ASSERT_TRUE(companion->write(key_request("race") + "\n"));
    std::vector<std::string> key_ids;
    for (auto& companion : companions) {
      const auto line = companion->read_line();
      ASSERT_TRUE(line.has_value());
      const auto answer = read_answer(*line);
      ASSERT_TRUE(answer.has_value() && answer->ok) << *line;
      key_ids.push_back(answer->key_id);
    }
    for (const std::string& key_id : key_ids) EXPECT_EQ(key_id, key_ids.front());
    EXPECT_EQ(current_key_id(home, kKeyName), key_ids.front());
    expect_stored_items(home, 1);
    if (GetParam() == KeyStorage::kTpm) expect_listed_storage(home);
  }
}

// A keychain entry put in place of a good keychain file.
struct HostileEntry {
  const char* reason;
  // Replaces (or shadows) the keychain file at path; the file it may point to is elsewhere.
  std::function<void(const std::string& path, const std::string& elsewhere)> plant;
  // Which file must stay byte for byte as it was planted.
  bool check_elsewhere;
  bool needs_root;
};

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string random_bytes(std::size_t count) {
  std::mt19937 random(count);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::vector<HostileEntry> hostile_entries() {
  namespace fs = std::filesystem;
  return {
      {"symbolic link to a good keychain",
       [](const std::string& path, const std::string& elsewhere) {
         fs::rename(path, elsewhere);
         fs::create_symlink(elsewhere, path);
       },
       true, false},
      {"dangling link at the preferred path",
       [](const std::string& path, const std::string&) {
         fs::create_symlink("/nonexistent/keychain",
                            fs::path(path).parent_path() / "login.keychain-db");
       },
       false, false},
      {"file of another user",
       [](const std::string& path, const std::string&) {
         if (::chown(path.c_str(), 4242, 4242) != 0) throw std::runtime_error("chown");
       },
       false, true},
      {"file others may write",
       [](const std::string& path, const std::string&) {
         fs::permissions(path,
                         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_write);
       },
       false, false},
      {"garbage bytes",
       [](const std::string& path, const std::string&) { write_file(path, random_bytes(4096)); },
       false, false},
      {"database header over garbage",
       [](const std::string& path, const std::string&) {
         write_file(path, std::string("SQLite format 3", 16) + random_bytes(4080));
       },
       false, false},
      {"keychain cut short",
       [](const std::string& path, const std::string&) { fs::resize_file(path, 4096); }, false,
       false},
  };
}

void expect_status_failures(const std::vector<Answer>& answers, std::size_t count) {
  ASSERT_EQ(answers.size(), count);
  for (const Answer& answer : answers) {
    EXPECT_FALSE(answer.ok) << answer.id;
    EXPECT_TRUE(is_status_failure(answer.error)) << answer.id << ": " << answer.error;
  }
}

// Both a companion that had the keychain open before the entry changed and a new one refuse it.
TEST(KeychainFaults, HostileKeychainFilesAreRefusedWithAStatusAndLeftAlone) {
  const std::vector<std::string> requests{key_request("k"), sign_request("s"), delete_request("d")};
  for (const HostileEntry& entry : hostile_entries()) {
    SCOPED_TRACE(entry.reason);
    if (entry.needs_root && ::geteuid() != 0) continue;  // no other owner to give the file to
    const TemporaryHome home;
    CompanionProcess running(keychain_options(home, kKeyName));
    const auto first = ask_each(running, {key_request("first")});
    ASSERT_TRUE(first.size() == 1 && first[0].ok);
    const std::string path = keychain_file(home);
    const std::string elsewhere = home.path() + "/elsewhere.keychain";
    entry.plant(path, elsewhere);
    const std::string watched = entry.check_elsewhere ? elsewhere : path;
    const std::string before = file_bytes(watched);

    expect_status_failures(ask_each(running, requests), 3);
    expect_status_failures(run_session(keychain_options(home, kKeyName), requests), 3);
    EXPECT_EQ(file_bytes(watched), before);
  }
}

void report_skipped(const DiskFault& fault, const std::string& why) {
  std::cout << "[  SKIPPED ] " << fault.reason << ": " << why << "\n";
}

// Runs a session while the fault is in place.
std::optional<std::vector<Answer>> under_fault(
    const DiskFault& fault, const std::string& folder,
    const std::function<std::vector<Answer>()>& session) {
  if (auto skipped = fault.apply(folder)) {
    report_skipped(fault, *skipped);
    return std::nullopt;
  }
  auto answers = session();
  fault.remove(folder);
  return answers;
}

std::optional<std::vector<Answer>> under_fault(const DiskFault& fault, const std::string& folder,
                                               const ProcessOptions& options,
                                               const std::vector<std::string>& lines) {
  return under_fault(fault, folder, [&] { return run_session(options, lines); });
}

// What a companion started under the fault answers: the key is read and used, nothing can be
// written, and a key name without a key gets none.
void expect_new_companion_keeps_key(const DiskFault& fault, const TemporaryHome& home,
                                    const std::string& key_id) {
  const std::string folder = keychain_folder(home);
  const auto answers =
      under_fault(fault, folder, keychain_options(home, kKeyName),
                  {key_request("k"), sign_request("s"), delete_request("d"), key_request("k2")});
  if (!answers) return;
  ASSERT_EQ(answers->size(), 4u);
  EXPECT_EQ((*answers)[0].key_id, key_id) << "reading needs no room";
  EXPECT_TRUE((*answers)[1].signed_payload) << (*answers)[1].error;
  EXPECT_TRUE(is_status_failure((*answers)[2].error)) << (*answers)[2].error;
  EXPECT_EQ((*answers)[3].key_id, key_id);
  const auto other =
      under_fault(fault, folder, keychain_options(home, "kTARN.e2e.other"), {key_request("o")});
  ASSERT_TRUE(other.has_value() && other->size() == 1u);
  EXPECT_EQ((*other)[0].error, kCreationFailure);
}

// A companion that had the keychain open before the fault fails the same way, and works again
// once the fault is gone.
void expect_running_companion_recovers(const DiskFault& fault, const TemporaryHome& home,
                                       CompanionProcess& running, const std::string& key_id) {
  if (!fault.reaches_running_processes) return;
  const auto answers = under_fault(fault, keychain_folder(home), [&] {
    return ask_each(running, {key_request("rk"), delete_request("rd")});
  });
  if (!answers) return;
  ASSERT_EQ(answers->size(), 2u);
  EXPECT_EQ((*answers)[0].key_id, key_id);
  EXPECT_TRUE(is_status_failure((*answers)[1].error)) << (*answers)[1].error;
  const auto after = ask_each(running, {sign_request("after"), key_request("after")});
  ASSERT_EQ(after.size(), 2u);
  EXPECT_TRUE(after[0].signed_payload) << after[0].error;
  EXPECT_EQ(after[1].key_id, key_id);
}

TEST(KeychainFaults, FullOrReadOnlyDisksFailWithAStatusAndKeepTheKey) {
  for (const DiskFault& fault : disk_faults()) {
    SCOPED_TRACE(fault.reason);
    const TemporaryHome home;
    const std::string folder = keychain_folder(home);
    if (auto skipped = fault.prepare(folder)) {
      report_skipped(fault, *skipped);
      continue;
    }
    const Disposal disposal(fault, folder);
    CompanionProcess running(keychain_options(home, kKeyName));
    const auto created = ask_each(running, {key_request("created")});
    ASSERT_EQ(created.size(), 1u);
    ASSERT_TRUE(created[0].ok) << created[0].error;
    const std::string key_id = created[0].key_id;
    expect_new_companion_keeps_key(fault, home, key_id);
    expect_running_companion_recovers(fault, home, running, key_id);
    EXPECT_EQ(current_key_id(home, kKeyName), key_id);
    expect_stored_items(home, 1);
  }
}

TEST(KeychainFaults, AKeychainThatCannotBeCreatedFailsWithAStatusAndWorksLater) {
  for (const DiskFault& fault : disk_faults()) {
    SCOPED_TRACE(fault.reason);
    const TemporaryHome home;
    const std::string folder = keychain_folder(home);
    std::filesystem::create_directories(folder);
    if (auto skipped = fault.prepare(folder)) {
      report_skipped(fault, *skipped);
      continue;
    }
    const Disposal disposal(fault, folder);
    const auto answers = under_fault(fault, folder, keychain_options(home, kKeyName),
                                     {key_request("k"), delete_request("d")});
    if (answers) {
      ASSERT_EQ(answers->size(), 2u);
      for (const Answer& answer : *answers) {
        EXPECT_TRUE(is_status_failure(answer.error)) << answer.error;
      }
      EXPECT_FALSE(create_key(home).empty()) << "a keychain left half made must still be usable";
    }
  }
}

}  // namespace
}  // namespace ktarn::e2e
