#include "bridge/platform/software/keychain_database.hpp"

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <sqlite3.h>

#include "bridge/platform/software/held_folder_vfs.hpp"
#include "bridge/platform/software/keychain_file.hpp"
#include "bridge/platform/software/keychain_status.hpp"
#include "bridge/platform/software/sqlite_statement.hpp"

namespace ktarn::platform::software {

namespace {

// Marks a database as a keychain ("ktrn"), and the layout of its tables.
constexpr int kApplicationId = 0x6b74726e;
constexpr int kLayoutVersion = 1;
constexpr int kBusyTimeoutMs = 30000;

constexpr const char* kCreateLayout = R"sql(
CREATE TABLE keychain_state (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  locked INTEGER NOT NULL
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
  private_key BLOB NOT NULL
) STRICT;
CREATE INDEX key_items_by_tag ON key_items (application_tag);
PRAGMA application_id = 1802793582;
PRAGMA user_version = 1;
)sql";
static_assert(kApplicationId == 1802793582);

constexpr std::array<std::pair<Constant, std::string_view>, 5> kConstantCodes = {{
    {Constant::kSecClassKey, "key"},
    {Constant::kSecAttrKeyTypeRSA, "rsa"},
    {Constant::kSecAttrKeyTypeECSECPrimeRandom, "ec"},
    {Constant::kSecAttrKeyClassPrivate, "private"},
    {Constant::kSecAttrKeyClassPublic, "public"},
}};

std::string_view code_of(Constant constant) {
  for (const auto& [known, code] : kConstantCodes) {
    if (known == constant) return code;
  }
  return "";
}

std::optional<Constant> constant_of(std::string_view code) {
  for (const auto& [constant, known] : kConstantCodes) {
    if (known == code) return constant;
  }
  return std::nullopt;
}

OSStatus execute(sqlite3* db, const char* sql) {
  return status_from_sqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

StatusOr<KeyItem> read_item(Statement& row) {
  auto item_class = constant_of(row.text(1));
  auto key_type = constant_of(row.text(2));
  auto key_class = constant_of(row.text(3));
  // A row this keychain cannot have written: the file is not a keychain it understands.
  if (!item_class || !key_type || !key_class) return Unexpected(errSecInvalidKeychain);
  KeyItem item;
  item.id = row.integer(0);
  item.item_class = *item_class;
  item.key_type = *key_type;
  item.key_class = *key_class;
  std::span<const std::uint8_t> tag = row.blob(4);
  item.application_tag.assign(tag.begin(), tag.end());
  item.label = row.text(5);
  item.size_in_bits = row.integer(6);
  item.permanent = row.integer(7) != 0;
  item.sensitive = row.integer(8) != 0;
  item.extractable = row.integer(9) != 0;
  item.can_sign = row.integer(10) != 0;
  item.synchronizable = row.integer(11) != 0;
  item.private_key = SecretBytes(row.blob(12));
  return item;
}

constexpr std::string_view kSelectItems =
    "SELECT id, item_class, key_type, key_class, application_tag, label, size_in_bits,"
    " permanent, sensitive, extractable, can_sign, synchronizable, private_key FROM key_items";

// An item attribute a search compares is statement parameter 1 + its place in kItemAttributes
// (as in the insert); an unbound parameter compares nothing.

// Statements are kept by the address of their text, so each search text is built once. A search
// by tag goes through the tag index in insertion order, so the oldest match is the first row read.
struct SearchStatements {
  std::string first_by_tag, first_of_all, remove_by_tag, remove_of_all;
};

const SearchStatements& search_statements() {
  static const SearchStatements statements = [] {
    constexpr std::string_view kOtherTerms =
        "(?1 IS NULL OR item_class = ?1) AND (?2 IS NULL OR key_type = ?2)"
        " AND (?3 IS NULL OR key_class = ?3) AND (?5 IS NULL OR label = ?5)"
        " AND (?6 IS NULL OR size_in_bits = ?6) AND (?7 IS NULL OR permanent = ?7)"
        " AND (?8 IS NULL OR sensitive = ?8) AND (?9 IS NULL OR extractable = ?9)"
        " AND (?10 IS NULL OR can_sign = ?10) AND (?11 IS NULL OR synchronizable = ?11)";
    const std::string by_tag = " WHERE application_tag = ?4 AND " + std::string(kOtherTerms);
    const std::string of_all = " WHERE " + std::string(kOtherTerms);
    const std::string first = " ORDER BY id LIMIT 1";
    const std::string remove = "DELETE FROM key_items";
    return SearchStatements{std::string(kSelectItems) + by_tag + first,
                            std::string(kSelectItems) + of_all + first, remove + by_tag,
                            remove + of_all};
  }();
  return statements;
}

// Binds one searched attribute; errSecParam for a value no item attribute can hold.
OSStatus bind_searched(Statement& statement, int index, const AttrValue& value) {
  if (const bool* flag = std::get_if<bool>(&value)) {
    statement.bind(index, std::int64_t{*flag ? 1 : 0});
  } else if (const std::int64_t* number = std::get_if<std::int64_t>(&value)) {
    statement.bind(index, *number);
  } else if (const std::string* text = std::get_if<std::string>(&value)) {
    statement.bind(index, std::string_view(*text));
  } else if (const Bytes* bytes = std::get_if<Bytes>(&value)) {
    statement.bind(index, std::span<const std::uint8_t>(*bytes));
  } else if (const Constant* constant = std::get_if<Constant>(&value)) {
    statement.bind(index, code_of(*constant));  // a constant no column holds matches nothing
  } else {
    return errSecParam;
  }
  return errSecSuccess;
}

OSStatus bind_search(Statement& statement, const Attributes& match) {
  if (statement.status() != errSecSuccess) return statement.status();
  for (std::size_t i = 0; i < kItemAttributes.size(); ++i) {
    const AttrValue* value = match.find(kItemAttributes[i]);
    if (value == nullptr) continue;
    if (OSStatus status = bind_searched(statement, static_cast<int>(i) + 1, *value);
        status != errSecSuccess) {
      return status;
    }
  }
  return errSecSuccess;
}

}  // namespace

StatusOr<std::unique_ptr<KeychainDatabase>> KeychainDatabase::open(const std::string& path,
                                                                   KeychainAccess access) {
  auto vetted = vet_keychain_file(path, access);
  if (!vetted) return Unexpected(vetted.error());
  return open(path, std::move(*vetted), access);
}

StatusOr<std::unique_ptr<KeychainDatabase>> KeychainDatabase::open(const std::string& path,
                                                                   VettedKeychain vetted,
                                                                   KeychainAccess access) {
  const char* file_layer = held_folder_vfs();
  if (file_layer == nullptr) return Unexpected(errSecAllocate);
  const bool read_only = access == KeychainAccess::kReadOnly;
  sqlite3* db = nullptr;
  int result = sqlite3_open_v2(held_folder_path(vetted.folder).c_str(), &db,
                               (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                                   SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                               file_layer);
  const FileChange change = vetted.change;
  std::unique_ptr<KeychainDatabase> database(new KeychainDatabase(db, path, vetted, access));
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
                                   KeychainAccess access)
    : db_(db),
      statements_(std::make_unique<StatementCache>(db)),
      path_(std::move(path)),
      folder_(std::move(vetted.folder)),
      identity_(vetted.identity),
      read_only_(access == KeychainAccess::kReadOnly) {}

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
  if (status == errSecSuccess && has_settled(change)) vetted_ = change;
  return status;
}

// A fresh file (empty, or only just created by a process that died before finishing) becomes
// an empty unlocked keychain, or is left as it is by a read-only connection; a database with
// anything else in it must already be a keychain, and a sound one.
OSStatus KeychainDatabase::make_keychain_if_empty() {
  constexpr const char* kProbe =
      "SELECT (SELECT application_id FROM pragma_application_id),"
      " (SELECT user_version FROM pragma_user_version),"
      " (SELECT count(*) FROM sqlite_schema)";
  for (int pass = 0; pass < 2; ++pass) {
    auto transaction = pass == 0 ? begin_read() : begin_write();
    if (!transaction) return transaction.error();
    Statement probe(*statements_, kProbe);
    if (probe.status() != errSecSuccess) return probe.status();
    int result = probe.step();
    if (result != SQLITE_ROW) return status_from_sqlite(result);
    if (probe.integer(0) == kApplicationId && probe.integer(1) == kLayoutVersion) {
      return check_integrity();
    }
    if (probe.integer(0) != 0 || probe.integer(1) != 0 || probe.integer(2) != 0) {
      return errSecInvalidKeychain;
    }
    if (read_only_) {
      awaits_layout_ = true;
      return errSecSuccess;
    }
    if (pass == 1) {
      if (OSStatus status = execute(db_, kCreateLayout); status != errSecSuccess) return status;
      return transaction->commit();
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
  if (kept_read_) return errSecSuccess;
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

OSStatus KeychainDatabase::check_integrity() {
  Statement check(*statements_, "PRAGMA integrity_check(1)");
  if (check.status() != errSecSuccess) return check.status();
  int result = check.step();
  if (result != SQLITE_ROW) return status_from_sqlite(result);
  return check.text(0) == "ok" ? errSecSuccess : errSecInvalidKeychain;
}

StatusOr<std::vector<KeyItem>> KeychainDatabase::items() {
  static const std::string kEveryItem = std::string(kSelectItems) + " ORDER BY id";
  Statement query(*statements_, kEveryItem.c_str());
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
  const SearchStatements& sql = search_statements();
  const bool by_tag = match.find(Attr::kSecAttrApplicationTag) != nullptr;
  Statement query(*statements_, by_tag ? sql.first_by_tag.c_str() : sql.first_of_all.c_str());
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
  Statement insert(*statements_,
                   "INSERT INTO key_items (item_class, key_type, key_class, application_tag,"
                   " label, size_in_bits, permanent, sensitive, extractable, can_sign,"
                   " synchronizable, private_key) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9,"
                   " ?10, ?11, ?12)");
  insert.bind(1, code_of(item.item_class));
  insert.bind(2, code_of(item.key_type));
  insert.bind(3, code_of(item.key_class));
  insert.bind(4, std::span<const std::uint8_t>(item.application_tag));
  insert.bind(5, std::string_view(item.label));
  insert.bind(6, item.size_in_bits);
  insert.bind(7, std::int64_t{item.permanent});
  insert.bind(8, std::int64_t{item.sensitive});
  insert.bind(9, std::int64_t{item.extractable});
  insert.bind(10, std::int64_t{item.can_sign});
  insert.bind(11, std::int64_t{item.synchronizable});
  insert.bind(12, item.private_key.view());
  if (OSStatus status = insert.run(); status != errSecSuccess) return Unexpected(status);
  return sqlite3_last_insert_rowid(db_);
}

StatusOr<std::int64_t> KeychainDatabase::remove_items(const Attributes& match) {
  const SearchStatements& sql = search_statements();
  const bool by_tag = match.find(Attr::kSecAttrApplicationTag) != nullptr;
  Statement remove(*statements_, by_tag ? sql.remove_by_tag.c_str() : sql.remove_of_all.c_str());
  OSStatus status = bind_search(remove, match);
  if (status == errSecSuccess) status = remove.run();
  if (status != errSecSuccess) return Unexpected(status);
  return sqlite3_changes64(db_);
}

}  // namespace ktarn::platform::software
