// Several processes on one keychain: they wait for each other instead of failing, agree on one
// device key when they all find none and store only that one, and a process killed mid-write leaves
// a usable keychain.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "bridge/platform/software/keychain/keychain_database.hpp"
#include "software_keychain_fixture.hpp"

namespace ktarn::platform::software {
namespace {

// The key store's find-or-create: look up, create when nothing is found, look up again.
Bytes find_or_create_public_der(const std::string& path, const std::string& name) {
  SoftwareKeychain keychain;
  Ref opened;
  if (keychain.sec_keychain_open(path, opened) != 0) return {};
  SharedRef shared(std::move(opened));
  Ref item;
  OSStatus status = keychain.sec_item_copy_matching(lookup_query(shared, name), item);
  if (status == errSecItemNotFound) {
    Ref error;
    Ref created = keychain.sec_key_create_random_key(
        creation_parameters(shared, private_key_attributes(name)), error);
    if (!created) return {};
    status = keychain.sec_item_copy_matching(lookup_query(shared, name), item);
  }
  if (status != 0 || !item) return {};
  Ref public_key = keychain.sec_key_copy_public_key(*item);
  Ref error;
  return public_key
             ? keychain.sec_key_copy_external_representation(*public_key, error).value_or(Bytes())
             : Bytes();
}

struct Child {
  pid_t pid;
  int result_fd;
};

// Forks a child that blocks until every write end of the start pipe is closed, runs work and
// sends back its bytes.
Child start_child(const int (&start)[2], const std::function<Bytes()>& work) {
  int result[2];
  EXPECT_EQ(::pipe(result), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(result[0]);
    ::close(start[1]);
    char byte;
    while (::read(start[0], &byte, 1) > 0) {
    }
    Bytes bytes = work();
    ssize_t written = ::write(result[1], bytes.data(), bytes.size());
    ::_exit(written == static_cast<ssize_t>(bytes.size()) ? 0 : 1);
  }
  ::close(result[1]);
  return {pid, result[0]};
}

Bytes collect(const Child& child) {
  Bytes bytes;
  std::uint8_t buffer[4096];
  ssize_t count;
  while ((count = ::read(child.result_fd, buffer, sizeof buffer)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
  ::close(child.result_fd);
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return bytes;
}

// Every item of the keychain at path, read as the administration tool reads them.
std::vector<KeyItem> stored_items(const std::string& path) {
  auto database = KeychainDatabase::open(path, KeychainAccess::kReadWrite);
  if (!database) return ADD_FAILURE() << "no keychain", std::vector<KeyItem>();
  auto transaction = (*database)->begin_read();
  auto items = transaction ? (*database)->items() : StatusOr<std::vector<KeyItem>>();
  EXPECT_TRUE(transaction && items) << "the keychain cannot be read";
  return transaction && items ? std::move(*items) : std::vector<KeyItem>();
}

TEST_F(SoftwareKeychainTest, EightProcessesStartingOnAnEmptyKeychainStoreAndUseOneKey) {
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<Child> children;
  for (int i = 0; i < 8; ++i) {
    children.push_back(start_child(
        start, [this] { return find_or_create_public_der(path_, "kTARN.concurrent"); }));
  }
  ::close(start[0]);
  ::close(start[1]);
  std::vector<Bytes> keys;
  for (const Child& child : children) keys.push_back(collect(child));
  ASSERT_EQ(keys.front().size(), 270u);
  for (const Bytes& key : keys) EXPECT_EQ(key, keys.front());
  EXPECT_EQ(find_or_create_public_der(path_, "kTARN.concurrent"), keys.front());
  EXPECT_EQ(stored_items(path_).size(), 1u) << "the processes that lost the race store nothing";
}

TEST_F(SoftwareKeychainTest, AProcessKilledWhileWritingLeavesAUsableKeychain) {
  open_keychain();
  for (int round = 0; round < 4; ++round) {
    pid_t pid = ::fork();
    if (pid == 0) {
      SoftwareKeychain keychain;
      Ref opened;
      if (keychain.sec_keychain_open(path_, opened) != 0) ::_exit(1);
      SharedRef shared(std::move(opened));
      for (;;) {
        Ref error;
        keychain.sec_key_create_random_key(
            creation_parameters(shared, private_key_attributes("kTARN.killed"), 1024), error);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(120 + 70 * round));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  for (const KeyItem& item : stored_items(path_)) {
    EXPECT_TRUE(decode_rsa_private_key(item.private_key.view()));
  }

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);
}

}  // namespace
}  // namespace ktarn::platform::software
