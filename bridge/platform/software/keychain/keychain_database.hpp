// The keychain database: one SQLite file holding the lock state and the key items. Every use is
// one transaction (BEGIN IMMEDIATE when it writes) in rollback-journal mode with full
// synchronisation, so a commit is durable and a process killed at any moment leaves either the
// old or the new state. Processes sharing the keychain wait for each other (up to 30 seconds)
// instead of failing. Failures are the status codes of keychain_status.hpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/expected.hpp"
#include "bridge/platform/keychain.hpp"
#include "bridge/platform/software/keychain/key_item.hpp"
#include "bridge/platform/software/keychain/keychain_file.hpp"
#include "bridge/platform/software/keys/key_kinds.hpp"

struct sqlite3;

namespace ktarn::platform::software {
class StatementCache;
}

namespace ktarn::platform::software {

// Where the new keys of a keychain about to be made will go, readied for it; asked only when a
// keychain is made, and software when there is none.
using NewKeyStorageChoice = std::function<NewKeyStorage()>;

class KeychainDatabase {
 public:
  // Opens the keychain at path. Read-write, an empty unlocked keychain is created where nothing
  // exists yet, its new keys going where new_key_storage says; read-only, nothing is created or
  // written, and an empty file stays empty.
  static StatusOr<std::unique_ptr<KeychainDatabase>> open(const std::string& path,
                                                          KeychainAccess access,
                                                          NewKeyStorageChoice new_key_storage = {});
  // Opens the database in the vetted file, whose folder the connection then keeps.
  static StatusOr<std::unique_ptr<KeychainDatabase>> open(const std::string& path,
                                                          VettedKeychain vetted,
                                                          KeychainAccess access,
                                                          NewKeyStorageChoice new_key_storage = {});
  // Whether this connection is to the file now vetted at path, in the same folder.
  bool is_open_on(const std::string& path, const VettedKeychain& vetted) const {
    return path == path_ && vetted.folder.identity == folder_.identity &&
           vetted.identity == identity_;
  }
  // The file's state when path still names this connection's file and nothing around it has
  // changed (unchanged_keychain); none otherwise.
  std::optional<FileChange> unchanged_at(const std::string& path) {
    if (path != path_) return std::nullopt;
    return unchanged_keychain(path, folder_, identity_, quiet_folder_);
  }
  // An empty file, opened read-only: what the first read-write open makes an empty unlocked
  // keychain, and so read as one.
  bool awaits_layout() const { return awaits_layout_; }

  // Makes an empty file an empty unlocked keychain; anything else must already be a keychain
  // that passes its integrity check. A file whose state is unchanged since it last passed, and
  // settled, is not read again.
  OSStatus make_keychain_if_changed(const FileChange& change);

  KeychainDatabase(const KeychainDatabase&) = delete;
  KeychainDatabase& operator=(const KeychainDatabase&) = delete;
  ~KeychainDatabase();

  // One transaction; rolled back when it is dropped without a successful commit.
  class Transaction {
   public:
    Transaction(Transaction&& other) noexcept;
    Transaction& operator=(Transaction&&) = delete;
    ~Transaction();
    OSStatus commit();

   private:
    friend class KeychainDatabase;
    explicit Transaction(KeychainDatabase* database) : database_(database) {}
    KeychainDatabase* database_;
  };
  // Each begins afresh, ending any read kept open.
  StatusOr<Transaction> begin_read();
  StatusOr<Transaction> begin_write();

  // A keychain's status check keeps its read open so that the lookup that follows reads the
  // same state without taking the file's lock a second time. The kept read ends when the
  // lookup takes it over, when another transaction begins, or when the keychain's user is done.
  OSStatus keep_reading();
  // The kept read, or a new one when none is kept.
  StatusOr<Transaction> continue_reading();
  void end_kept_read() { kept_read_.reset(); }

  // Inside a transaction:
  StatusOr<bool> is_locked();
  OSStatus set_locked(bool locked);
  // Where the keychain's new keys go: the word naming their storage kind.
  StatusOr<std::string> new_key_storage();
  // The identity the keychain recorded for its kind when it was made (or sealed); empty for a
  // keychain that recorded none.
  StatusOr<std::string> keychain_identity();
  // Makes the keychain's new keys go to the kind from now on, recording the identity the kind
  // gave it; the caller moves its items to the kind in the same transaction.
  OSStatus record_new_key_storage(const NewKeyStorage& storage);
  // The id the next item inserted without one gets, for binding its key to its row before it is
  // written.
  StatusOr<std::int64_t> next_item_id();
  // Replaces an item's stored private key and where it lives, as moving it to another kind does.
  OSStatus replace_private_key(std::int64_t id, std::string_view storage,
                               const SecretBytes& stored);
  // errSecInvalidKeychain unless SQLite's integrity check finds the file sound (its pages, and
  // the tag index agreeing with the items), so that a damaged keychain is never taken for one
  // without the key.
  OSStatus check_integrity();
  // Every key item, oldest first.
  StatusOr<std::vector<KeyItem>> items();
  // The oldest item whose stored attributes equal every member of match (item attributes only),
  // read as one row; none when no item matches.
  StatusOr<std::optional<KeyItem>> first_item(const Attributes& match);
  // Inserts the item under its id, or the next one when it has none (zero); the id used.
  StatusOr<std::int64_t> insert(const KeyItem& item);
  // Removes every item that first_item could find for match; how many were removed.
  StatusOr<std::int64_t> remove_items(const Attributes& match);

 private:
  KeychainDatabase(sqlite3* db, std::string path, VettedKeychain& vetted, KeychainAccess access,
                   NewKeyStorageChoice new_key_storage);
  OSStatus configure();
  // The one integer the statement's first row starts with.
  StatusOr<std::int64_t> single_integer(const char* sql);
  StatusOr<Transaction> begin(const char* statement);
  OSStatus make_keychain_if_empty();

  sqlite3* db_;
  std::unique_ptr<StatementCache> statements_;
  std::string path_;
  KeychainFolder folder_;  // open for as long as SQLite may name files through it
  FileIdentity identity_;
  bool read_only_;
  NewKeyStorageChoice choose_new_key_storage_;
  bool awaits_layout_ = false;
  std::optional<FileChange> vetted_;  // the file's state when it last proved to be a keychain
  QuietFolder quiet_folder_;
  std::optional<Transaction> kept_read_;
};

}  // namespace ktarn::platform::software
