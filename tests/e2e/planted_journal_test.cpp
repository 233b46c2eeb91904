// A rollback journal put beside the victim's keychain by someone else. Replayed, it would put
// that person's device key in place of the victim's, and the keychain would still look sound;
// so a journal is replayed only from the user's own folder and only when it is the user's own
// file, as after the user's own companion was killed mid-write.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "e2e/keychain_session.hpp"

namespace ktarn::e2e {
namespace {

constexpr std::string_view kKeyName = "kTARN.e2e.journal";
constexpr uid_t kOtherUser = 4242;

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  ::chmod(path.c_str(), 0600);
}

// The journal a process leaves when it dies in the middle of changing the keychain at path:
// replayed into any keychain of the same layout, it puts back path's pages as they are now, its
// key included. The change is large enough that the journal is synced before the process dies.
std::string hot_journal_of(const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) ::_exit(1);
    constexpr const char* kChanges =
        "PRAGMA cache_size = 10; BEGIN IMMEDIATE;"
        " UPDATE key_items SET label = label || '.';"
        " UPDATE keychain_state SET locked = locked;"
        " CREATE TABLE filler (bytes BLOB);"
        " WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400)"
        " INSERT INTO filler SELECT randomblob(3000) FROM n;";
    ::_exit(sqlite3_exec(db, kChanges, nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : 2);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return file_bytes(path + "-journal");
}

struct Planting {
  const char* reason;
  // Puts the journal beside the keychain in folder, and opens the folder as the case says.
  std::function<void(const std::string& folder, const std::string& journal)> plant;
  bool replayed;  // the user's own journal in the user's own folder: a crash to recover from
  bool needs_root;
};

void plant_in_open_folder(const std::string& folder, const std::string& journal, mode_t mode) {
  ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
  write_file(folder + "/login.keychain-journal", journal);
}

const Planting kPlantings[] = {
    {"folder writable by all",
     [](const std::string& folder, const std::string& journal) {
       plant_in_open_folder(folder, journal, 0777);
     },
     false, false},
    {"folder writable by all, with the sticky bit",
     [](const std::string& folder, const std::string& journal) {
       plant_in_open_folder(folder, journal, 01777);
     },
     false, false},
    {"folder writable by its group",
     [](const std::string& folder, const std::string& journal) {
       plant_in_open_folder(folder, journal, 0775);
     },
     false, false},
    {"journal of another user in a private folder",
     [](const std::string& folder, const std::string& journal) {
       write_file(folder + "/login.keychain-journal", journal);
       ASSERT_EQ(::chown((folder + "/login.keychain-journal").c_str(), kOtherUser, kOtherUser), 0);
     },
     false, true},
    {"the user's own journal in a private folder",
     [](const std::string& folder, const std::string& journal) {
       write_file(folder + "/login.keychain-journal", journal);
     },
     true, false},
};

TEST(PlantedJournal, NeverReplacesTheDeviceKey) {
  const TemporaryHome other;
  const std::string other_key = current_key_id(other, kKeyName);
  const std::string journal = hot_journal_of(keychain_file(other));
  ASSERT_FALSE(journal.empty());

  const TemporaryHome victim;
  const std::string victim_key = current_key_id(victim, kKeyName);
  ASSERT_FALSE(victim_key.empty());
  ASSERT_NE(victim_key, other_key);
  const std::string folder = victim.path() + "/Library/Keychains";
  const std::string keychain = keychain_file(victim);
  const std::string victim_bytes = file_bytes(keychain);

  for (const Planting& planting : kPlantings) {
    SCOPED_TRACE(planting.reason);
    if (planting.needs_root && ::geteuid() != 0) continue;  // no other owner to give it to
    planting.plant(folder, journal);
    const auto answers = run_session(keychain_options(victim, kKeyName), {key_request("k")});
    ASSERT_EQ(answers.size(), 1u);
    if (planting.replayed) {
      EXPECT_EQ(answers[0].key_id, other_key) << "the journal must be one that replaces the key";
    } else {
      EXPECT_TRUE(is_status_failure(answers[0].error)) << answers[0].error;
      EXPECT_EQ(file_bytes(keychain), victim_bytes);
    }
    ::chmod(folder.c_str(), 0700);
    std::filesystem::remove(folder + "/login.keychain-journal");
    write_file(keychain, victim_bytes);
    EXPECT_EQ(current_key_id(victim, kKeyName), victim_key);
  }
}

}  // namespace
}  // namespace ktarn::e2e
