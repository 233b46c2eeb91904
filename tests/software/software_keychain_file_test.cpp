// Where the keychain file comes from and which files are refused.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "bridge/platform/software/keychain/keychain_objects.hpp"
#include "software_keychain_fixture.hpp"

namespace ktarn::platform::software {
namespace {

mode_t mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

void write_file(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
  ::chmod(path.c_str(), 0600);
}

TEST_F(SoftwareKeychainTest, FirstOpenCreatesPrivateFoldersAndFileEvenUnderAPermissiveUmask) {
  mode_t previous = ::umask(0);
  SharedRef keychain = open_keychain();
  ::umask(previous);
  ASSERT_TRUE(keychain);
  EXPECT_EQ(mode_of(home_ + "/Library"), 0700u);
  EXPECT_EQ(mode_of(home_ + "/Library/Keychains"), 0700u);
  EXPECT_EQ(mode_of(path_), 0600u);
  std::uint32_t status = 0;
  EXPECT_EQ(keychain_.sec_keychain_get_status(*keychain, status), 0);
  EXPECT_EQ(status & kSecUnlockStateStatus, kSecUnlockStateStatus);
  EXPECT_EQ(keychain_.cf_get_type_id(*keychain), kKeychainTypeId);
}

TEST_F(SoftwareKeychainTest, ReopeningKeepsTheKeychainAndItsLockState) {
  {
    SharedRef keychain = open_keychain();
    auto& database = dynamic_cast<KeychainObject&>(*keychain).database();
    auto transaction = database.begin_write();
    ASSERT_TRUE(transaction);
    ASSERT_EQ(database.set_locked(true), 0);
    ASSERT_EQ(transaction->commit(), 0);
  }
  SharedRef reopened = open_keychain();
  std::uint32_t status = 0;
  ASSERT_EQ(keychain_.sec_keychain_get_status(*reopened, status), 0);
  EXPECT_EQ(status & kSecUnlockStateStatus, 0u);
}

// Each case leaves something at the keychain path that must not be used as a keychain.
struct RefusedFile {
  const char* reason;
  void (*make)(const std::string& path, const std::string& home);
  OSStatus status;
};

void make_keychain(const std::string& path) {
  Ref keychain;
  ASSERT_EQ(SoftwareKeychain().sec_keychain_open(path, keychain), 0);
}

const RefusedFile kRefusedFiles[] = {
    {"symbolic link to a good keychain",
     [](const std::string& path, const std::string& home) {
       make_keychain(home + "/Elsewhere/Keychains/elsewhere.keychain-db");
       std::filesystem::create_directories(std::filesystem::path(path).parent_path());
       ::symlink((home + "/Elsewhere/Keychains/elsewhere.keychain-db").c_str(), path.c_str());
     },
     errSecInvalidKeychain},
    {"dangling symbolic link (would create the file through it)",
     [](const std::string& path, const std::string& home) {
       std::filesystem::create_directories(std::filesystem::path(path).parent_path());
       ::symlink((home + "/planted").c_str(), path.c_str());
     },
     errSecInvalidKeychain},
    {"group-writable keychain",
     [](const std::string& path, const std::string&) {
       make_keychain(path);
       ::chmod(path.c_str(), 0620);
     },
     errSecWrPerm},
    {"keychain writable by others",
     [](const std::string& path, const std::string&) {
       make_keychain(path);
       ::chmod(path.c_str(), 0602);
     },
     errSecWrPerm},
    {"a folder where the file should be",
     [](const std::string& path, const std::string&) { std::filesystem::create_directories(path); },
     errSecInvalidKeychain},
    {"text that is not a database",
     [](const std::string& path, const std::string&) { write_file(path, std::string(4096, 'x')); },
     errSecInvalidKeychain},
    {"a database that is not a keychain",
     [](const std::string& path, const std::string&) {
       write_file(path, "");
       sqlite3* db = nullptr;
       sqlite3_open(path.c_str(), &db);
       sqlite3_exec(db, "CREATE TABLE notes (text TEXT)", nullptr, nullptr, nullptr);
       sqlite3_close(db);
     },
     errSecInvalidKeychain},
};

TEST_F(SoftwareKeychainTest, RefusesFilesThatAreNotASafeKeychain) {
  for (const RefusedFile& refused : kRefusedFiles) {
    SCOPED_TRACE(refused.reason);
    std::filesystem::remove_all(home_ + "/Library");
    refused.make(path_, home_);
    Ref keychain;
    EXPECT_EQ(keychain_.sec_keychain_open(path_, keychain), refused.status);
    EXPECT_FALSE(keychain);
  }
  EXPECT_FALSE(std::filesystem::exists(home_ + "/planted"));
}

TEST_F(SoftwareKeychainTest, RefusesAKeychainOwnedBySomeoneElse) {
  make_keychain(path_);
  if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
  ASSERT_EQ(::chown(path_.c_str(), 4242, 4242), 0);
  Ref keychain;
  EXPECT_EQ(keychain_.sec_keychain_open(path_, keychain), errSecWrPerm);
}

TEST_F(SoftwareKeychainTest, ATruncatedKeychainFailsCleanly) {
  make_keychain(path_);
  {
    SharedRef keychain = open_keychain();
    Ref created_error;
    keychain_.sec_key_create_random_key(
        creation_parameters(keychain, private_key_attributes("kTARN.cut"), 1024), created_error);
  }
  ASSERT_EQ(::truncate(path_.c_str(), 1500), 0);
  Ref keychain;
  OSStatus status = keychain_.sec_keychain_open(path_, keychain);
  if (status == 0) {
    Ref item;
    status = keychain_.sec_item_copy_matching(
        lookup_query(SharedRef(std::move(keychain)), "kTARN.cut"), item);
  }
  EXPECT_EQ(status, errSecInvalidKeychain);
}

// The open connection is kept between opens; a file rewritten in place under it, at once and to
// the same size, must still be found out by the next open.
TEST_F(SoftwareKeychainTest, AKeychainRewrittenInPlaceIsRefusedByTheNextOpen) {
  open_keychain();
  std::string other = home_ + "/notes.db";
  write_file(other, "");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE notes (text TEXT)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  std::string content(std::filesystem::file_size(path_), '\0');
  std::ifstream(other, std::ios::binary).read(content.data(), std::streamsize(content.size()));
  write_file(path_, content);
  ASSERT_EQ(std::filesystem::file_size(path_), content.size());
  Ref keychain;
  EXPECT_EQ(keychain_.sec_keychain_open(path_, keychain), errSecInvalidKeychain);
}

TEST_F(SoftwareKeychainTest, ForeignObjectsAreRefused) {
  Object foreign;
  std::uint32_t status = 0;
  EXPECT_EQ(keychain_.sec_keychain_get_status(foreign, status), errSecParam);
  EXPECT_EQ(keychain_.cf_get_type_id(foreign), 0u);
  EXPECT_NE(keychain_.sec_key_get_type_id(), 0u);
  EXPECT_FALSE(keychain_.sec_key_copy_attributes(foreign));
  EXPECT_FALSE(keychain_.sec_key_copy_public_key(foreign));
}

TEST_F(SoftwareKeychainTest, ExistenceCountsEveryEntryIncludingDanglingLinks) {
  EXPECT_FALSE(keychain_.file_exists_at_path(path_));
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
  ::symlink("/nonexistent/target", path_.c_str());
  EXPECT_TRUE(keychain_.file_exists_at_path(path_));
  EXPECT_EQ(keychain_.ns_home_directory().front(), '/');
}

}  // namespace
}  // namespace ktarn::platform::software
