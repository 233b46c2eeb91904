#include "bridge/platform/software/keychain/keychain_database.hpp"

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <sqlite3.h>

#include "base/concat.hpp"
#include "bridge/platform/software/keychain/held_folder_vfs.hpp"
#include "bridge/platform/software/keychain/kept_state.hpp"
#include "bridge/platform/software/keychain/keychain_file.hpp"
#include "bridge/platform/software/keychain/keychain_status.hpp"
#include "bridge/platform/software/keychain/sqlite_statement.hpp"

namespace ktarn::platform::software {

namespace {

// Marks a database as a keychain ("ktrn"), and the layout of its tables.
constexpr int kApplicationId = 0x6b74726e;
// Layout 2 added where a key lives (storage) and where the keychain's new keys go
// (new_key_storage); a keychain of layout 1 holds software keys only and makes them.
constexpr int kFirstLayoutVersion = 1;
constexpr int kLayoutVersion = 2;
constexpr int kBusyTimeoutMs = 30000;

constexpr const char* kCreateLayout = R"sql(
CREATE TABLE keychain_state (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  locked INTEGER NOT NULL,
  new_key_storage TEXT NOT NULL DEFAULT 'software'
) STRICT;
INSERT INTO keychain_state (id, locked) VALUES (1, 0);
CREATE TABLE key_items (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  item_class TEXT NOT NULL,
  key_type TEXT NOT NULL,
  key_class TEXT NOT NULL,
  application_tag BLOB NOT NULL,
  label TEXT NOT NULL,
  size_in_bits INTEGER NOT NULL,
  permanent INTEGER NOT NULL,
  sensitive INTEGER NOT NULL,
  extractable INTEGER NOT NULL,
  can_sign INTEGER NOT NULL,
  synchronizable INTEGER NOT NULL,
  private_key BLOB NOT NULL,
  storage TEXT NOT NULL DEFAULT 'software'
) STRICT;
CREATE INDEX key_items_by_tag ON key_items (application_tag);
PRAGMA application_id = 1802793582;
PRAGMA user_version = 2;
)sql";

// A keychain of layout 1 gains the two columns, its keys and its new keys staying software ones,
// and then has the very layout a new keychain gets.
constexpr const char* kUpgradeFirstLayout = R"sql(
ALTER TABLE keychain_state ADD COLUMN new_key_storage TEXT NOT NULL DEFAULT 'software';
ALTER TABLE key_items ADD COLUMN storage TEXT NOT NULL DEFAULT 'software';
PRAGMA user_version = 2;
)sql";

// A connection that may not write reads a keychain of layout 1 through views that give it the
// columns of the current layout; they live in this connection's own temporary schema, which
// names resolve in first, and never in the file.
constexpr const char* kReadFirstLayout = R"sql(
CREATE TEMP VIEW keychain_state AS SELECT *, 'software' AS new_key_storage
  FROM main.keychain_state;
CREATE TEMP VIEW key_items AS SELECT *, 'software' AS storage FROM main.key_items;
)sql";
static_assert(kApplicationId == 1802793582);

// A keychain whose kind binds its keys to the keychain (a sealed one's wrapping key is stored
// under it) records the identity it was given in a table of its own, made with it; keychains of
// other kinds have none.
constexpr const char* kCreateIdentity = R"sql(
CREATE TABLE keychain_identity (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  identity TEXT NOT NULL
) STRICT;
)sql";

OSStatus execute(sqlite3* db, const char* sql) {
  return status_from_sqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

// The item statements. Every statement reads and writes the columns in the order of
// kItemAttributes, after the id: the value of attribute i is column i + 1 of a row read and
// parameter i + 1 of a statement. A search compares exactly the attributes it is given, so its
// text names only those; a search by tag goes through the tag index in insertion order, so the
// oldest match is the first row read.
struct ItemStatements {
  std::string every_item, select, insert;
};

std::string parameter(std::size_t i) {
  return concat("?", std::to_string(i + 1));
}

// A search's statement: head, each searched attribute's column equal to its parameter, tail;
// without a searched attribute it covers every item.
std::string search_statement(std::string_view head, const Attributes& match,
                             std::string_view tail) {
  std::string text;
  text.reserve(head.size() + tail.size() + 256);
  text += head;
  std::string_view joint = " WHERE ";
  for (std::size_t i = 0; i < kItemAttributeCount; ++i) {
    if (match.find(kItemAttributes[i].name) == nullptr) continue;
    text += joint;
    joint = " AND ";
    text += kItemAttributes[i].column;
    text += " = ?";
    text += std::to_string(i + 1);
  }
  text += tail;
  return text;
}

const ItemStatements& item_statements() {
  static const ItemStatements statements = [] {
    std::string columns, parameters;
    for (std::size_t i = 0; i < kItemAttributeCount; ++i) {
      columns += std::string(kItemAttributes[i].column) + ", ";
      parameters += parameter(i) + ", ";
    }
    columns += "private_key";
    parameters += parameter(kItemAttributeCount);
    const std::string select = "SELECT id, " + columns + " FROM key_items";
    return ItemStatements{
        select + " ORDER BY id",
        select,
        "INSERT INTO key_items (" + columns + ", id) VALUES (" + parameters + ", " +
            parameter(kItemAttributeCount + 1) + ")",
    };
  }();
  return statements;
}

// One attribute's column of a row, of the kind its description gives; none for a value this
// keychain cannot have written.
std::optional<AttrValue> read_value(Statement& row, int column, const AttrValue& kind) {
  if (std::holds_alternative<Constant>(kind)) {
    auto constant = constant_of_code(row.text(column));
    return constant ? std::optional<AttrValue>(*constant) : std::nullopt;
  }
  if (std::holds_alternative<Bytes>(kind)) {
    std::span<const std::uint8_t> bytes = row.blob(column);
    return Bytes(bytes.begin(), bytes.end());
  }
  if (std::holds_alternative<std::string>(kind)) return row.text(column);
  if (std::holds_alternative<std::int64_t>(kind)) return row.integer(column);
  return row.integer(column) != 0;
}

StatusOr<KeyItem> read_item(Statement& row) {
  KeyItem item;
  item.id = row.integer(0);
  for (std::size_t i = 0; i < kItemAttributeCount; ++i) {
    auto value = read_value(row, static_cast<int>(i) + 1, kItemAttributes[i].unstated);
    // A row this keychain cannot have written: the file is not a keychain it understands.
    if (!value) return Unexpected(errSecInvalidKeychain);
    item.values[i] = std::move(*value);
  }
  if (!is_key_kind(item.storage())) return Unexpected(errSecInvalidKeychain);
  item.private_key = SecretBytes(row.blob(static_cast<int>(kItemAttributeCount) + 1));
  return item;
}

// Binds one attribute value; errSecParam for a value no item attribute can hold.
OSStatus bind_value(Statement& statement, std::size_t i, const AttrValue& value) {
  const int index = static_cast<int>(i) + 1;
  if (const bool* flag = std::get_if<bool>(&value)) {
    statement.bind(index, std::int64_t{*flag ? 1 : 0});
  } else if (const std::int64_t* number = std::get_if<std::int64_t>(&value)) {
    statement.bind(index, *number);
  } else if (const std::string* text = std::get_if<std::string>(&value)) {
    statement.bind(index, std::string_view(*text));
  } else if (const Bytes* bytes = std::get_if<Bytes>(&value)) {
    statement.bind(index, std::span<const std::uint8_t>(*bytes));
  } else if (const Constant* constant = std::get_if<Constant>(&value)) {
    statement.bind(index, stored_code(*constant));  // a constant no column holds matches nothing
  } else {
    return errSecParam;
  }
  return errSecSuccess;
}

OSStatus bind_search(Statement& statement, const Attributes& match) {
  if (statement.status() != errSecSuccess) return statement.status();
  for (std::size_t i = 0; i < kItemAttributeCount; ++i) {
    const AttrValue* value = match.find(kItemAttributes[i].name);
    if (value == nullptr) continue;
    if (OSStatus status = bind_value(statement, i, *value); status != errSecSuccess) return status;
  }
  return errSecSuccess;
}

}  // namespace

StatusOr<std::unique_ptr<KeychainDatabase>> KeychainDatabase::open(
    const std::string& path, KeychainAccess access, NewKeyStorageChoice new_key_storage) {
  auto vetted = vet_keychain_file(path, access);
  if (!vetted) return Unexpected(vetted.error());
  return open(path, std::move(*vetted), access, std::move(new_key_storage));
}

StatusOr<std::unique_ptr<KeychainDatabase>> KeychainDatabase::open(
    const std::string& path, VettedKeychain vetted, KeychainAccess access,
    NewKeyStorageChoice new_key_storage) {
  const char* file_layer = held_folder_vfs();
  if (file_layer == nullptr) return Unexpected(errSecAllocate);
  const bool read_only = access == KeychainAccess::kReadOnly;
  sqlite3* db = nullptr;
  int result = sqlite3_open_v2(held_folder_path(vetted.folder).c_str(), &db,
                               (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                                   SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                               file_layer);
  const FileChange change = vetted.change;
  std::unique_ptr<KeychainDatabase> database(
      new KeychainDatabase(db, path, vetted, access, std::move(new_key_storage)));
  if (result != SQLITE_OK) return Unexpected(status_from_sqlite(result));
  if (!is_same_file(database->folder_, database->identity_)) {
    return Unexpected(errSecInvalidKeychain);
  }
  if (OSStatus status = database->configure(); status != errSecSuccess) return Unexpected(status);
  if (OSStatus status = database->make_keychain_if_changed(change); status != errSecSuccess) {
    return Unexpected(status);
  }
  return database;
}

KeychainDatabase::KeychainDatabase(sqlite3* db, std::string path, VettedKeychain& vetted,
                                   KeychainAccess access, NewKeyStorageChoice new_key_storage)
    : db_(db),
      statements_(std::make_unique<StatementCache>(db)),
      path_(std::move(path)),
      folder_(std::move(vetted.folder)),
      identity_(vetted.identity),
      read_only_(access == KeychainAccess::kReadOnly),
      choose_new_key_storage_(std::move(new_key_storage)) {}

KeychainDatabase::~KeychainDatabase() {
  kept_read_.reset();
  statements_.reset();
  sqlite3_close_v2(db_);
}

OSStatus KeychainDatabase::configure() {
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // The file is the user's own, but its schema is still treated as untrusted input.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  // Deleted keys must not linger in free pages, whatever the SQLite build's default.
  return execute(db_,
                 "PRAGMA synchronous = FULL; PRAGMA journal_mode = DELETE;"
                 " PRAGMA secure_delete = ON");
}

// The state is the one seen before the check, so a write that lands meanwhile shows as a change.
OSStatus KeychainDatabase::make_keychain_if_changed(const FileChange& change) {
  if (vetted_ == change) return errSecSuccess;
  vetted_.reset();
  OSStatus status = make_keychain_if_empty();
  if (status == errSecSuccess && has_settled(change.changed_ns)) vetted_ = change;
  return status;
}

// A fresh file (empty, or only just created by a process that died before finishing) becomes
// an empty unlocked keychain, or is left as it is by a read-only connection; a database with
// anything else in it must already be a keychain, and a sound one. A keychain of the first layout
// is upgraded, or read as if it were, by a connection that may not write.
OSStatus KeychainDatabase::make_keychain_if_empty() {
  NewKeyStorage new_keys;
  // A kind readied for a keychain that is then not made with it is told so, whichever way this
  // ends.
  struct Undo {
    NewKeyStorage& choice;
    ~Undo() {
      if (choice.abandon) choice.abandon();
    }
  } undo{new_keys};
  for (int pass = 0; pass < 2; ++pass) {
    // Asked outside any transaction, since asking a TPM or a Secret Service may take a while.
    if (pass == 1 && choose_new_key_storage_) new_keys = choose_new_key_storage_();
    auto transaction = pass == 0 ? begin_read() : begin_write();
    if (!transaction) return transaction.error();
    // Three small statements: one reading the header's two marks through their table-valued
    // forms costs a new process more to prepare than all three together.
    auto application = single_integer("PRAGMA main.application_id");
    if (!application) return application.error();
    auto version = single_integer("PRAGMA main.user_version");
    if (!version) return version.error();
    if (*application == kApplicationId && *version == kLayoutVersion) return check_integrity();
    if (*application == kApplicationId && *version == kFirstLayoutVersion) {
      if (OSStatus status = check_integrity(); status != errSecSuccess) return status;
      if (read_only_) {
        // Committed, since the end of a transaction without it would drop the views again.
        OSStatus status = execute(db_, kReadFirstLayout);
        return status == errSecSuccess ? transaction->commit() : status;
      }
      if (pass == 0) continue;
      if (OSStatus status = execute(db_, kUpgradeFirstLayout); status != errSecSuccess) {
        return status;
      }
      return transaction->commit();
    }
    if (*application != 0 || *version != 0) return errSecInvalidKeychain;
    auto schema_entries = single_integer("SELECT count(*) FROM main.sqlite_schema");
    if (!schema_entries) return schema_entries.error();
    if (*schema_entries != 0) return errSecInvalidKeychain;
    if (read_only_) {
      awaits_layout_ = true;
      return errSecSuccess;
    }
    if (pass == 1) {
      if (OSStatus status = execute(db_, kCreateLayout); status != errSecSuccess) return status;
      if (OSStatus status = record_new_key_storage(new_keys); status != errSecSuccess) {
        return status;
      }
      if (OSStatus status = transaction->commit(); status != errSecSuccess) return status;
      new_keys.abandon = nullptr;
      return errSecSuccess;
    }
  }
  return errSecInvalidKeychain;
}

KeychainDatabase::Transaction::Transaction(Transaction&& other) noexcept
    : database_(std::exchange(other.database_, nullptr)) {}

KeychainDatabase::Transaction::~Transaction() {
  if (database_ != nullptr) Statement(*database_->statements_, "ROLLBACK").run();
}

OSStatus KeychainDatabase::Transaction::commit() {
  OSStatus status = Statement(*database_->statements_, "COMMIT").run();
  if (status == errSecSuccess) database_ = nullptr;
  return status;
}

StatusOr<KeychainDatabase::Transaction> KeychainDatabase::begin(const char* statement) {
  kept_read_.reset();
  if (OSStatus status = Statement(*statements_, statement).run(); status != errSecSuccess) {
    return Unexpected(status);
  }
  return Transaction(this);
}

StatusOr<KeychainDatabase::Transaction> KeychainDatabase::begin_read() {
  return begin("BEGIN");
}

StatusOr<KeychainDatabase::Transaction> KeychainDatabase::begin_write() {
  return begin("BEGIN IMMEDIATE");
}

OSStatus KeychainDatabase::keep_reading() {
  if (!kKeychainKeepsState || kept_read_) return errSecSuccess;
  auto transaction = begin_read();
  if (!transaction) return transaction.error();
  kept_read_.emplace(std::move(*transaction));
  return errSecSuccess;
}

StatusOr<KeychainDatabase::Transaction> KeychainDatabase::continue_reading() {
  if (!kept_read_) return begin_read();
  Transaction transaction(std::move(*kept_read_));
  kept_read_.reset();
  return transaction;
}

StatusOr<std::int64_t> KeychainDatabase::single_integer(const char* sql) {
  Statement query(*statements_, sql);
  if (query.status() != errSecSuccess) return Unexpected(query.status());
  int result = query.step();
  if (result != SQLITE_ROW) return Unexpected(status_from_sqlite(result));
  return query.integer(0);
}

StatusOr<bool> KeychainDatabase::is_locked() {
  Statement query(*statements_, "SELECT locked FROM keychain_state WHERE id = 1");
  if (query.status() != errSecSuccess) return Unexpected(query.status());
  int result = query.step();
  if (result == SQLITE_DONE) return Unexpected(errSecInvalidKeychain);
  if (result != SQLITE_ROW) return Unexpected(status_from_sqlite(result));
  return query.integer(0) != 0;
}

OSStatus KeychainDatabase::set_locked(bool locked) {
  Statement update(*statements_, "UPDATE keychain_state SET locked = ?1 WHERE id = 1");
  update.bind(1, std::int64_t{locked ? 1 : 0});
  return update.run();
}

StatusOr<std::string> KeychainDatabase::new_key_storage() {
  Statement query(*statements_, "SELECT new_key_storage FROM keychain_state WHERE id = 1");
  if (query.status() != errSecSuccess) return Unexpected(query.status());
  int result = query.step();
  if (result == SQLITE_DONE) return Unexpected(errSecInvalidKeychain);
  if (result != SQLITE_ROW) return Unexpected(status_from_sqlite(result));
  std::string storage = query.text(0);
  if (!is_key_kind(storage)) return Unexpected(errSecInvalidKeychain);
  return storage;
}

StatusOr<std::string> KeychainDatabase::keychain_identity() {
  Statement table(*statements_,
                  "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND"
                  " name = 'keychain_identity'");
  if (table.status() != errSecSuccess) return Unexpected(table.status());
  int result = table.step();
  if (result != SQLITE_ROW) return Unexpected(status_from_sqlite(result));
  if (table.integer(0) == 0) return std::string();
  Statement query(*statements_, "SELECT identity FROM keychain_identity WHERE id = 1");
  if (query.status() != errSecSuccess) return Unexpected(query.status());
  result = query.step();
  // A table made for an identity but holding none is damage, never a keychain without one.
  if (result == SQLITE_DONE) return Unexpected(errSecInvalidKeychain);
  if (result != SQLITE_ROW) return Unexpected(status_from_sqlite(result));
  std::string identity = query.text(0);
  if (identity.empty()) return Unexpected(errSecInvalidKeychain);
  return identity;
}

OSStatus KeychainDatabase::record_new_key_storage(const NewKeyStorage& storage) {
  if (!is_key_kind(storage.kind)) return errSecParam;
  if (!storage.identity.empty()) {
    if (OSStatus status = execute(db_, kCreateIdentity); status != errSecSuccess) return status;
    Statement record(*statements_, "INSERT INTO keychain_identity (id, identity) VALUES (1, ?1)");
    record.bind(1, std::string_view(storage.identity));
    if (OSStatus status = record.run(); status != errSecSuccess) return status;
  }
  Statement record(*statements_, "UPDATE keychain_state SET new_key_storage = ?1 WHERE id = 1");
  record.bind(1, std::string_view(storage.kind));
  return record.run();
}

// What AUTOINCREMENT gives the next row: one past the largest id the table ever held.
StatusOr<std::int64_t> KeychainDatabase::next_item_id() {
  Statement query(*statements_,
                  "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'key_items'),"
                  " 0), coalesce((SELECT max(id) FROM key_items), 0)) + 1");
  if (query.status() != errSecSuccess) return Unexpected(query.status());
  int result = query.step();
  if (result != SQLITE_ROW) return Unexpected(status_from_sqlite(result));
  return query.integer(0);
}

OSStatus KeychainDatabase::replace_private_key(std::int64_t id, std::string_view storage,
                                               const SecretBytes& stored) {
  Statement update(*statements_,
                   "UPDATE key_items SET private_key = ?1, storage = ?2 WHERE id = ?3");
  update.bind(1, stored.view());
  update.bind(2, storage);
  update.bind(3, id);
  return update.run();
}

// The file's own schema only: checking this connection's temporary one too would make it, a
// second database with a page cache of its own, for nothing the file can damage.
OSStatus KeychainDatabase::check_integrity() {
  Statement check(*statements_, "PRAGMA main.integrity_check(1)");
  if (check.status() != errSecSuccess) return check.status();
  int result = check.step();
  if (result != SQLITE_ROW) return status_from_sqlite(result);
  return check.text(0) == "ok" ? errSecSuccess : errSecInvalidKeychain;
}

StatusOr<std::vector<KeyItem>> KeychainDatabase::items() {
  Statement query(*statements_, item_statements().every_item);
  if (query.status() != errSecSuccess) return Unexpected(query.status());
  std::vector<KeyItem> items;
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    auto item = read_item(query);
    if (!item) return Unexpected(item.error());
    items.push_back(std::move(*item));
  }
  if (result != SQLITE_DONE) return Unexpected(status_from_sqlite(result));
  return items;
}

StatusOr<std::optional<KeyItem>> KeychainDatabase::first_item(const Attributes& match) {
  Statement query(*statements_,
                  search_statement(item_statements().select, match, " ORDER BY id LIMIT 1"));
  if (OSStatus status = bind_search(query, match); status != errSecSuccess) {
    return Unexpected(status);
  }
  int result = query.step();
  if (result == SQLITE_DONE) return std::optional<KeyItem>();
  if (result != SQLITE_ROW) return Unexpected(status_from_sqlite(result));
  auto item = read_item(query);
  if (!item) return Unexpected(item.error());
  return std::optional<KeyItem>(std::move(*item));
}

StatusOr<std::int64_t> KeychainDatabase::insert(const KeyItem& item) {
  Statement insert(*statements_, item_statements().insert);
  if (insert.status() != errSecSuccess) return Unexpected(insert.status());
  for (std::size_t i = 0; i < kItemAttributeCount; ++i) {
    if (OSStatus status = bind_value(insert, i, item.values[i]); status != errSecSuccess) {
      return Unexpected(status);
    }
  }
  insert.bind(static_cast<int>(kItemAttributeCount) + 1, item.private_key.view());
  if (item.id != 0) insert.bind(static_cast<int>(kItemAttributeCount) + 2, item.id);
  if (OSStatus status = insert.run(); status != errSecSuccess) return Unexpected(status);
  return sqlite3_last_insert_rowid(db_);
}

StatusOr<std::int64_t> KeychainDatabase::remove_items(const Attributes& match) {
  Statement remove(*statements_, search_statement("DELETE FROM key_items", match, ""));
  OSStatus status = bind_search(remove, match);
  if (status == errSecSuccess) status = remove.run();
  if (status != errSecSuccess) return Unexpected(status);
  return sqlite3_changes64(db_);
}

}  // namespace ktarn::platform::software
