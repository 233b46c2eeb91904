// ktarn-keychain from the outside: its commands, their output and failures, and the companion
// honouring what the tool put into the keychain.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sqlite3.h>

#include "e2e/companion_process.hpp"
#include "e2e/keychain_session.hpp"
#include "e2e/keychain_tool.hpp"

namespace ktarn::e2e {
namespace {

// A fresh RSA key as PEM: PKCS #8 by default, the traditional PKCS #1 form on request.
std::string rsa_pem(int bits, bool pkcs1) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(bits), EVP_PKEY_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
  if (pkcs1) {
    PEM_write_bio_PrivateKey_traditional(out.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr);
  } else {
    PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

class KeychainToolTest : public ::testing::Test {
 protected:
  std::string write_pem(const std::string& name, const std::string& pem) {
    std::string path = home_.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << pem;
    return path;
  }

  // A successful run's standard output.
  std::string ok(std::vector<std::string> arguments) {
    ToolResult result = run_tool(home_.path(), home_, arguments);
    EXPECT_EQ(result.exit_status, 0) << arguments.front() << ": " << result.err;
    EXPECT_EQ(result.err, "");
    return result.out;
  }

  // A failed run's one line on standard error.
  std::string fails(std::vector<std::string> arguments) {
    ToolResult result = run_tool(home_.path(), home_, arguments);
    EXPECT_EQ(result.exit_status, 1) << arguments.front();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    return result.err;
  }

  std::string keychain_path() const { return home_.path() + "/Library/Keychains/login.keychain"; }

  ProcessResult companion_key_request(const std::string& home) {
    ProcessOptions options;
    options.environment = {{"HOME", home}, {"DISPLAY", std::nullopt}};
    return run_companion(options, "{\"id\":\"k\",\"type\":\"key\"}\n");
  }
  ProcessResult companion_key_request() { return companion_key_request(home_.path()); }

  TemporaryHome home_;
};

TEST_F(KeychainToolTest, KeychainLifecycle) {
  EXPECT_EQ(ok({"status"}), "missing\n");
  EXPECT_NE(fails({"lock"}).find("-25294"), std::string::npos);
  EXPECT_EQ(ok({"create", "--software"}), "");
  struct stat info {};
  ASSERT_EQ(::stat(keychain_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_NE(fails({"create"}).find("-25296"), std::string::npos);
  EXPECT_EQ(ok({"status"}), "unlocked storage=software\n");
  EXPECT_EQ(ok({"list"}), "");
  EXPECT_EQ(ok({"lock"}), "");
  EXPECT_EQ(ok({"status"}), "locked storage=software\n");
  EXPECT_NE(fails({"list"}).find("-25308"), std::string::npos);
  EXPECT_EQ(ok({"unlock"}), "");
  EXPECT_EQ(ok({"status"}), "unlocked storage=software\n");
}

TEST_F(KeychainToolTest, ImportedKeysAreListedOldestFirstWithTheirAttributes) {
  ok({"create", "--software"});
  ok({"import", write_pem("small.pem", rsa_pem(1024, true)), "--tag", "kTARN.small"});
  ok({"import", write_pem("big.pem", rsa_pem(2048, false)), "--tag", "kTARN.big", "--label",
      "spare key", "--extractable", "--synchronizable"});
  EXPECT_EQ(ok({"list"}),
            "tag=kTARN.small label=kTARN.small bits=1024 extractable=0 synchronizable=0 "
            "storage=software\n"
            "tag=kTARN.big label=spare%20key bits=2048 extractable=1 synchronizable=1 "
            "storage=software\n");
}

TEST_F(KeychainToolTest, ImportFailuresStoreNothing) {
  ok({"create", "--software"});
  std::string key = write_pem("key.pem", rsa_pem(1024, false));
  std::string encrypted = home_.path() + "/encrypted.pem";
  {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> rsa(EVP_RSA_gen(1024), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_file(encrypted.c_str(), "w"), BIO_free);
    char passphrase[] = "secret";
    PEM_write_bio_PrivateKey(out.get(), rsa.get(), EVP_aes_128_cbc(), nullptr, 0, nullptr,
                             passphrase);
  }
  const std::vector<std::vector<std::string>> bad = {
      {"import", home_.path() + "/absent.pem", "--tag", "kTARN.x"},
      {"import", write_pem("text.pem", "not a key\n"), "--tag", "kTARN.x"},
      {"import", encrypted, "--tag", "kTARN.x"},
      {"import", key},
      {"import", key, "--tag"},
      {"import", key, "--tag", "kTARN.x", "--exportable"},
      {"import", key, key, "--tag", "kTARN.x"},
      {"list", "extra"},
      {"unknown"},
      {},
  };
  for (const auto& arguments : bad) {
    SCOPED_TRACE(arguments.empty() ? "no command" : arguments.back());
    fails(arguments);
  }
  ok({"lock"});
  EXPECT_NE(fails({"import", key, "--tag", "kTARN.x"}).find("-25308"), std::string::npos);
  ok({"unlock"});
  EXPECT_EQ(ok({"list"}), "");
}

// Only a regular file is imported: a FIFO, a folder or a device is refused at once with one line,
// never waited on. The FIFO keeps a writer open, so a read of it would wait; a watchdog lets that
// writer go after 30 seconds, so that a tool that does read it still ends.
TEST_F(KeychainToolTest, ImportReadsOnlyARegularFile) {
  ok({"create", "--software"});
  const std::string fifo = home_.path() + "/key.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  std::promise<void> finished;
  std::thread watchdog([ended = finished.get_future(), writer] {
    ended.wait_for(std::chrono::seconds(30));
    ::close(writer);
  });
  for (const std::string& path : {fifo, home_.path(), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(fails({"import", path, "--tag", "kTARN.x"}),
              "ktarn-keychain: " + path + " is not a regular file (OSStatus -36)\n");
  }
  finished.set_value();
  watchdog.join();
  EXPECT_EQ(ok({"list"}), "");
}

TEST_F(KeychainToolTest, TheNewerKeychainNameWinsWhenItExists) {
  ok({"create", "--software"});
  std::filesystem::copy_file(keychain_path(), keychain_path() + "-db");
  ok({"lock"});
  EXPECT_EQ(ok({"status"}), "locked storage=software\n");
  std::filesystem::remove(keychain_path() + "-db");
  EXPECT_EQ(ok({"status"}), "unlocked storage=software\n");
}

TEST_F(KeychainToolTest, AnUnsafeKeychainIsRefused) {
  ok({"create", "--software"});
  ::chmod(keychain_path().c_str(), 0666);
  EXPECT_NE(fails({"status"}).find("-61"), std::string::npos);
  ::chmod(keychain_path().c_str(), 0600);
  std::ofstream(keychain_path(), std::ios::binary | std::ios::trunc) << std::string(8192, 'x');
  EXPECT_NE(fails({"list"}).find("-25295"), std::string::npos);
}

// What a reader could change about the keychain file and its folder: the bytes, the mode, the
// modification and change times.
std::string file_state(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return "missing";
  return std::to_string(info.st_mode) + " " + std::to_string(info.st_size) + " " +
         std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + " " +
         std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec) + " " +
         (S_ISREG(info.st_mode) ? file_bytes(path) : "");
}

struct ReadingCase {
  const char* reason;
  std::vector<std::vector<std::string>> setup;  // tool commands
  mode_t mode;
  const char* status;  // what status prints
  bool listed;         // whether list succeeds
};

TEST_F(KeychainToolTest, ReadingCommandsLeaveTheKeychainAsItWas) {
  const std::string pem = write_pem("key.pem", rsa_pem(1024, false));
  const ReadingCase cases[] = {
      {"empty file, as a companion killed at once leaves it",
       {},
       0600,
       "unlocked storage=undecided\n",
       true},
      {"new keychain", {{"create", "--software"}}, 0600, "unlocked storage=software\n", true},
      {"locked keychain",
       {{"create", "--software"}, {"lock"}},
       0600,
       "locked storage=software\n",
       false},
      {"keychain with a key",
       {{"create", "--software"}, {"import", pem, "--tag", "kTARN.read"}},
       0600,
       "unlocked storage=software\n",
       true},
      {"keychain others can read",
       {{"create", "--software"}},
       0644,
       "unlocked storage=software\n",
       true},
  };
  const std::string folder = home_.path() + "/Library/Keychains";
  for (const ReadingCase& reading : cases) {
    SCOPED_TRACE(reading.reason);
    std::filesystem::remove_all(home_.path() + "/Library");
    std::filesystem::create_directories(folder);
    ::chmod((home_.path() + "/Library").c_str(), 0700);
    ::chmod(folder.c_str(), 0700);
    std::ofstream(keychain_path(), std::ios::binary);
    for (const auto& command : reading.setup) {
      if (command.front() == "create") std::filesystem::remove(keychain_path());
      ok(command);
    }
    ::chmod(keychain_path().c_str(), reading.mode);
    const std::string file_before = file_state(keychain_path());
    const std::string folder_before = file_state(folder);
    EXPECT_EQ(ok({"status"}), reading.status);
    EXPECT_EQ(run_tool(home_.path(), home_, {"list"}).exit_status, reading.listed ? 0 : 1);
    EXPECT_EQ(file_state(keychain_path()), file_before);
    EXPECT_EQ(file_state(folder), folder_before);
  }
}

// A home reached through a symbolic link is followed by the companion and the tool alike; a
// keychain folder that is a link is refused by both with its status code.
TEST_F(KeychainToolTest, AHomeReachedThroughALinkIsUsedAndALinkedKeychainFolderIsNot) {
  const TemporaryHome links;
  const std::string linked_home = links.path() + "/home";
  std::filesystem::create_directory_symlink(home_.path(), linked_home);
  EXPECT_NE(companion_key_request(linked_home).out.find("\"ok\":true"), std::string::npos);
  const ToolResult status = run_tool(linked_home, home_, {"status"});
  EXPECT_EQ(status.out, "unlocked storage=software\n") << status.err;
  EXPECT_EQ(run_tool(linked_home, home_, {"list"}).out.find("tag=kTARN.SealedBrowser.Demo.v1"), 0u);
  EXPECT_EQ(ok({"status"}), "unlocked storage=software\n");

  const std::string library = home_.path() + "/Library";
  std::filesystem::rename(library + "/Keychains", library + "/Elsewhere");
  std::filesystem::create_directory_symlink(library + "/Elsewhere", library + "/Keychains");
  EXPECT_NE(companion_key_request(linked_home)
                .out.find("Login Keychain open failed (macOS "
                          "OSStatus -25295)"),
            std::string::npos);
  EXPECT_NE(fails({"status"}).find("(OSStatus -25295)"), std::string::npos);
}

// What the tool stores is what the companion finds: keys that break its policy are reported and
// left alone, a locked keychain is refused, and a key it created shows up in the list.
TEST_F(KeychainToolTest, TheCompanionHonoursWhatTheToolStored) {
  ok({"create", "--software"});
  const std::string name = "kTARN.SealedBrowser.Demo.v1";
  ok({"import", write_pem("small.pem", rsa_pem(1024, true)), "--tag", name});
  EXPECT_NE(companion_key_request().out.find(
                "Device key is not RSA-2048; the existing key was not replaced"),
            std::string::npos);
  ok({"lock"});
  EXPECT_NE(companion_key_request().out.find("Login Keychain is locked or unavailable."),
            std::string::npos);
  ok({"unlock"});
  EXPECT_EQ(ok({"list"}), "tag=" + name + " label=" + name +
                              " bits=1024 extractable=0 synchronizable=0 storage=software\n");

  std::filesystem::remove(keychain_path());
  ok({"create", "--software"});
  ok({"import", write_pem("big.pem", rsa_pem(2048, false)), "--tag", name, "--extractable"});
  EXPECT_NE(companion_key_request().out.find("Device key is extractable"), std::string::npos);

  std::filesystem::remove(keychain_path());
  EXPECT_NE(companion_key_request().out.find("\"ok\":true"), std::string::npos);
  EXPECT_EQ(ok({"list"}), "tag=" + name + " label=" + name +
                              " bits=2048 extractable=0 synchronizable=0 storage=software\n");
}

}  // namespace
}  // namespace ktarn::e2e

namespace ktarn::e2e {
namespace {

// The layout keychains had before keys could live in a TPM.
constexpr const char* kFirstLayout = R"sql(
CREATE TABLE keychain_state (id INTEGER PRIMARY KEY CHECK (id = 1), locked INTEGER NOT NULL) STRICT;
INSERT INTO keychain_state (id, locked) VALUES (1, 0);
CREATE TABLE key_items (
  id INTEGER PRIMARY KEY AUTOINCREMENT, item_class TEXT NOT NULL, key_type TEXT NOT NULL,
  key_class TEXT NOT NULL, application_tag BLOB NOT NULL, label TEXT NOT NULL,
  size_in_bits INTEGER NOT NULL, permanent INTEGER NOT NULL, sensitive INTEGER NOT NULL,
  extractable INTEGER NOT NULL, can_sign INTEGER NOT NULL, synchronizable INTEGER NOT NULL,
  private_key BLOB NOT NULL) STRICT;
CREATE INDEX key_items_by_tag ON key_items (application_tag);
PRAGMA application_id = 1802793582;
PRAGMA user_version = 1;
)sql";

std::int64_t user_version(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &query, nullptr);
  const std::int64_t version =
      sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int64(query, 0) : -1;
  sqlite3_finalize(query);
  sqlite3_close(db);
  return version;
}

// A keychain made before keys could live in a TPM: the tool reads it as it is, and the companion
// upgrades it in place, its key unchanged and still a software key.
TEST_F(KeychainToolTest, AKeychainOfTheFirstLayoutKeepsItsSoftwareKey) {
  const std::string name = "kTARN.SealedBrowser.Demo.v1";
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
  unsigned char* der = nullptr;
  const int der_size = i2d_PrivateKey(key.get(), &der);
  ASSERT_GT(der_size, 0);
  std::filesystem::create_directories(home_.path() + "/Library/Keychains");
  ::chmod((home_.path() + "/Library").c_str(), 0700);
  ::chmod((home_.path() + "/Library/Keychains").c_str(), 0700);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(keychain_path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, kFirstLayout, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO key_items (item_class, key_type, key_class, application_tag,"
                     " label, size_in_bits, permanent, sensitive, extractable, can_sign,"
                     " synchronizable, private_key) VALUES ('key', 'rsa', 'private', ?1, ?3,"
                     " 2048, 1, 1, 0, 1, 0, ?2)",
                     -1, &insert, nullptr);
  sqlite3_bind_blob(insert, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  sqlite3_bind_blob(insert, 2, der, der_size, SQLITE_STATIC);
  sqlite3_bind_text(insert, 3, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  OPENSSL_free(der);
  ::chmod(keychain_path().c_str(), 0600);

  const std::string line = "tag=" + name + " label=" + name +
                           " bits=2048 extractable=0 synchronizable=0 storage=software\n";
  const std::string before = file_bytes(keychain_path());
  EXPECT_EQ(ok({"status"}), "unlocked storage=software\n");
  EXPECT_EQ(ok({"list"}), line);
  EXPECT_EQ(file_bytes(keychain_path()), before) << "reading must not upgrade the file";

  const ProcessResult answer = companion_key_request();
  BIGNUM* n = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), "n", &n), 1);
  std::string modulus(static_cast<std::size_t>(BN_num_bytes(n)), '\0');
  BN_bn2bin(n, reinterpret_cast<unsigned char*>(modulus.data()));
  BN_free(n);
  const auto read = read_answer(answer.out.substr(0, answer.out.find('\n')));
  ASSERT_TRUE(read && read->ok) << answer.out;
  EXPECT_EQ(decode_base64url(read->modulus), modulus) << "the stored key, not a new one";
  EXPECT_EQ(user_version(keychain_path()), 2);
  EXPECT_EQ(ok({"list"}), line);
  EXPECT_EQ(ok({"status"}), "unlocked storage=software\n");
}

}  // namespace
}  // namespace ktarn::e2e
