// The keychain's surroundings: the folders above the file, the files the database keeps beside
// it, and the file's own permissions. Whatever another user could have put there or changed is
// refused before anything is created or read; a home reached through a symbolic link is fine.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string_view>
#include <thread>

#include "bridge/platform/software/keychain/keychain_database.hpp"
#include "software_keychain_fixture.hpp"

namespace ktarn::platform::software {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 4242;

mode_t mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::string bytes_of(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// Every entry under root, links not followed, with its mode and owner: what a refused open must
// leave exactly as it was.
std::map<std::string, std::string> tree_of(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    tree[entry.path()] = std::to_string(info.st_mode) + ":" + std::to_string(info.st_uid) + ":" +
                         std::to_string(info.st_size);
  }
  return tree;
}

void make_folder(const std::string& path, mode_t mode) {
  fs::create_directories(path);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

class SoftwareKeychainFolderTest : public SoftwareKeychainTest {
 protected:
  std::string library() const { return home_ + "/Library"; }
  std::string keychains() const { return home_ + "/Library/Keychains"; }

  OSStatus open_status(const std::string& path) {
    Ref keychain;
    const OSStatus status = SoftwareKeychain().sec_keychain_open(path, keychain);
    EXPECT_EQ(status == 0, keychain != nullptr);
    return status;
  }

  // A keychain at path_ holding one key, created as the key store does.
  void make_keychain_with_key() {
    SharedRef keychain = open_keychain();
    Ref error;
    ASSERT_TRUE(keychain_.sec_key_create_random_key(
        creation_parameters(keychain, private_key_attributes("kTARN.walls"), 1024), error));
  }
};

struct FolderCase {
  const char* reason;
  std::function<void(const std::string& home)> make;
  OSStatus status;
  bool needs_root;
};

const FolderCase kRefusedFolders[] = {
    {"Library writable by others",
     [](const std::string& home) { make_folder(home + "/Library", 0777); }, errSecWrPerm, false},
    {"Library writable by its group",
     [](const std::string& home) { make_folder(home + "/Library", 0770); }, errSecWrPerm, false},
    {"Keychains open to all with the sticky bit",
     [](const std::string& home) {
       make_folder(home + "/Library", 0700);
       make_folder(home + "/Library/Keychains", 01777);
     },
     errSecWrPerm, false},
    {"Keychains writable by its group",
     [](const std::string& home) {
       make_folder(home + "/Library", 0755);
       make_folder(home + "/Library/Keychains", 0775);
     },
     errSecWrPerm, false},
    {"Keychains of another user",
     [](const std::string& home) {
       make_folder(home + "/Library/Keychains", 0700);
       ASSERT_EQ(::chown((home + "/Library/Keychains").c_str(), kOtherUser, kOtherUser), 0);
     },
     errSecWrPerm, true},
    {"Library a symbolic link to a private folder",
     [](const std::string& home) {
       make_folder(home + "/Elsewhere", 0700);
       fs::create_directory_symlink(home + "/Elsewhere", home + "/Library");
     },
     errSecInvalidKeychain, false},
    {"Keychains a symbolic link to a private folder",
     [](const std::string& home) {
       make_folder(home + "/Elsewhere", 0700);
       make_folder(home + "/Library", 0700);
       fs::create_directory_symlink(home + "/Elsewhere", home + "/Library/Keychains");
     },
     errSecInvalidKeychain, false},
    {"Keychains a dangling symbolic link",
     [](const std::string& home) {
       make_folder(home + "/Library", 0700);
       fs::create_directory_symlink(home + "/Planted", home + "/Library/Keychains");
     },
     errSecInvalidKeychain, false},
    {"Library a file", [](const std::string& home) { std::ofstream(home + "/Library") << "x"; },
     errSecInvalidKeychain, false},
};

TEST_F(SoftwareKeychainFolderTest, FoldersOthersCouldChangeAreRefusedBeforeAnythingIsCreated) {
  for (const FolderCase& refused : kRefusedFolders) {
    SCOPED_TRACE(refused.reason);
    if (refused.needs_root && ::geteuid() != 0) continue;  // no other owner to give it to
    fs::remove_all(library());
    fs::remove_all(home_ + "/Elsewhere");
    refused.make(home_);
    const auto before = tree_of(home_);
    EXPECT_EQ(open_status(path_), refused.status);
    EXPECT_EQ(tree_of(home_), before);
  }
}

TEST_F(SoftwareKeychainFolderTest, FoldersOnlyTheUserCanChangeAreUsedWhateverOthersMayRead) {
  make_folder(library(), 0755);
  make_folder(keychains(), 0711);
  EXPECT_EQ(open_status(path_), 0);
  EXPECT_EQ(mode_of(path_), 0600u);
}

// A home reached through a symbolic link is the user's choice; the keychain inside it works,
// and the home is reported as the folder the link leads to.
TEST_F(SoftwareKeychainFolderTest, AHomeReachedThroughASymbolicLinkIsFollowed) {
  make_folder(home_ + "/real", 0700);
  fs::create_directory_symlink(home_ + "/real", home_ + "/link");
  const std::string through_link = home_ + "/link/Library/Keychains/login.keychain-db";
  EXPECT_EQ(open_status(through_link), 0);
  EXPECT_TRUE(fs::is_regular_file(home_ + "/real/Library/Keychains/login.keychain-db"));
  EXPECT_EQ(open_status(through_link), 0);

  const char* saved = std::getenv("HOME");
  const std::string previous = saved ? saved : "";
  ::setenv("HOME", (home_ + "/link").c_str(), 1);
  const std::string reported = SoftwareKeychain().ns_home_directory();
  ::setenv("HOME", previous.c_str(), 1);
  EXPECT_EQ(reported, fs::canonical(home_ + "/real").string());
}

struct SideFileCase {
  const char* reason;
  const char* suffix;
  std::function<void(const std::string& side_file)> plant;
  OSStatus status;
  bool needs_root;
};

void plant_file(const std::string& path) {
  std::ofstream(path, std::ios::binary) << std::string(4096, 'j');
  ::chmod(path.c_str(), 0600);
}

const SideFileCase kRefusedSideFiles[] = {
    {"journal of another user", "-journal",
     [](const std::string& path) {
       plant_file(path);
       ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0);
     },
     errSecWrPerm, true},
    {"journal others may write", "-journal",
     [](const std::string& path) {
       plant_file(path);
       ::chmod(path.c_str(), 0666);
     },
     errSecWrPerm, false},
    {"journal a symbolic link", "-journal",
     [](const std::string& path) {
       plant_file(path + ".target");
       fs::create_symlink(path + ".target", path);
     },
     errSecInvalidKeychain, false},
    {"write-ahead log of another user", "-wal",
     [](const std::string& path) {
       plant_file(path);
       ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0);
     },
     errSecWrPerm, true},
    {"shared-memory file a folder", "-shm",
     [](const std::string& path) { fs::create_directory(path); }, errSecInvalidKeychain, false},
};

TEST_F(SoftwareKeychainFolderTest, SideFilesNotTheUsersOwnAreRefusedBeforeTheDatabaseReadsThem) {
  make_keychain_with_key();
  const std::string keychain_bytes = bytes_of(path_);
  for (const SideFileCase& refused : kRefusedSideFiles) {
    SCOPED_TRACE(refused.reason);
    if (refused.needs_root && ::geteuid() != 0) continue;
    const std::string side_file = path_ + refused.suffix;
    refused.plant(side_file);
    EXPECT_EQ(open_status(path_), refused.status);
    Ref keychain;
    EXPECT_EQ(keychain_.sec_keychain_open(path_, keychain), refused.status)
        << "a connection kept from before must be refused too";
    EXPECT_EQ(bytes_of(path_), keychain_bytes);
    fs::remove_all(side_file);
    fs::remove_all(side_file + ".target");
  }
  EXPECT_EQ(open_status(path_), 0);
}

// A kept connection stops looking for side files while its folder's change time stays where it
// was when the folder held none and that time had settled. Planting a file changes that time, so
// a side file planted into a folder long quiet is found all the same.
TEST_F(SoftwareKeychainFolderTest, SideFilesPlantedIntoAQuietFolderAreStillFound) {
  make_keychain_with_key();
  for (const SideFileCase& refused : kRefusedSideFiles) {
    if (refused.needs_root || std::string_view(refused.suffix) == "-wal") continue;
    SCOPED_TRACE(refused.reason);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // the folder settles
    Ref keychain;
    ASSERT_EQ(keychain_.sec_keychain_open(path_, keychain), 0);
    ASSERT_EQ(keychain_.sec_keychain_open(path_, keychain), 0);
    const std::string side_file = path_ + refused.suffix;
    refused.plant(side_file);
    EXPECT_EQ(keychain_.sec_keychain_open(path_, keychain), refused.status);
    fs::remove_all(side_file);
    fs::remove_all(side_file + ".target");
  }
  Ref keychain;
  EXPECT_EQ(keychain_.sec_keychain_open(path_, keychain), 0);
}

// A keychain kept open proves at each use, from the folders' entries, that nothing changed
// around it. Every change that a fresh open would refuse or follow must be found by a kept
// connection too: a link looks like a link, not like the folder it leads to.
struct LaterChange {
  const char* reason;
  std::function<void(const std::string& home)> change;
  OSStatus status;
  bool key_still_found;
};

void move(const std::string& from, const std::string& to) {
  ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from;
}

const LaterChange kLaterChanges[] = {
    {"Library made writable by others",
     [](const std::string& home) { ASSERT_EQ(::chmod((home + "/Library").c_str(), 0777), 0); },
     errSecWrPerm, false},
    {"Keychains made writable by its group",
     [](const std::string& home) {
       ASSERT_EQ(::chmod((home + "/Library/Keychains").c_str(), 0770), 0);
     },
     errSecWrPerm, false},
    {"Library moved and linked back",
     [](const std::string& home) {
       move(home + "/Library", home + "/Elsewhere");
       fs::create_directory_symlink(home + "/Elsewhere", home + "/Library");
     },
     errSecInvalidKeychain, false},
    {"Keychains moved and linked back",
     [](const std::string& home) {
       move(home + "/Library/Keychains", home + "/Library/Elsewhere");
       fs::create_directory_symlink(home + "/Library/Elsewhere", home + "/Library/Keychains");
     },
     errSecInvalidKeychain, false},
    {"Keychains moved away and a new one made",
     [](const std::string& home) {
       move(home + "/Library/Keychains", home + "/Library/Elsewhere");
       make_folder(home + "/Library/Keychains", 0700);
     },
     errSecSuccess, false},
    {"keychain made readable by its group",
     [](const std::string& home) {
       ASSERT_EQ(::chmod((home + "/Library/Keychains/login.keychain-db").c_str(), 0640), 0);
     },
     errSecSuccess, true},
    {"nothing", [](const std::string&) {}, errSecSuccess, true},
};

TEST_F(SoftwareKeychainFolderTest, AKeptKeychainFindsEveryLaterChangeAroundIt) {
  for (const LaterChange& later : kLaterChanges) {
    SCOPED_TRACE(later.reason);
    fs::remove_all(library());
    fs::remove_all(home_ + "/Elsewhere");
    make_keychain_with_key();
    later.change(home_);
    Ref keychain;
    ASSERT_EQ(keychain_.sec_keychain_open(path_, keychain), later.status);
    if (later.status != errSecSuccess) continue;
    EXPECT_EQ(mode_of(path_), 0600u);
    const Attributes query = lookup_query(SharedRef(std::move(keychain)), "kTARN.walls");
    EXPECT_EQ(!found_public_der(query).empty(), later.key_still_found);
  }
}

// Read access for group or others gives the private keys away but cannot have changed them: a
// read-write open takes it away; a read-only one changes nothing.
TEST_F(SoftwareKeychainFolderTest, AKeychainOthersCanReadIsTightenedByTheNextReadWriteOpen) {
  const std::pair<mode_t, mode_t> kModes[] = {
      {0644, 0600}, {0640, 0600}, {0604, 0600}, {0611, 0600}, {0444, 0400}};
  for (const auto& [loose, tight] : kModes) {
    SCOPED_TRACE(loose);
    fs::remove_all(library());
    open_keychain();
    ASSERT_EQ(::chmod(path_.c_str(), loose), 0);
    ASSERT_TRUE(KeychainDatabase::open(path_, KeychainAccess::kReadOnly));
    EXPECT_EQ(mode_of(path_), loose);
    EXPECT_EQ(open_status(path_), 0);
    EXPECT_EQ(mode_of(path_), tight);
  }
}

// Debian's SQLite erases deleted content by default; other builds must do the same.
TEST_F(SoftwareKeychainFolderTest, ADeletedKeyLeavesNoTraceOfItsPrivateKeyInTheFile) {
  make_keychain_with_key();
  std::string private_key;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT private_key FROM key_items", -1, &query, nullptr);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    private_key.assign(static_cast<const char*>(sqlite3_column_blob(query, 0)),
                       static_cast<std::size_t>(sqlite3_column_bytes(query, 0)));
    sqlite3_finalize(query);
    sqlite3_close(db);
  }
  ASSERT_GT(private_key.size(), 500u);
  const std::string modulus_part = private_key.substr(private_key.size() / 2, 64);
  ASSERT_NE(bytes_of(path_).find(modulus_part), std::string::npos);
  EXPECT_EQ(keychain_.sec_item_delete(base_query(open_keychain(), "kTARN.walls")), 0);
  EXPECT_EQ(bytes_of(path_).find(modulus_part), std::string::npos);
}

}  // namespace
}  // namespace ktarn::platform::software
