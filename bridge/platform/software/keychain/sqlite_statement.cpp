#include "bridge/platform/software/keychain/sqlite_statement.hpp"

#include <sqlite3.h>

#include "bridge/platform/software/keychain/keychain_status.hpp"

namespace ktarn::platform::software {

StatementCache::~StatementCache() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
}

sqlite3_stmt* StatementCache::prepared(std::string_view sql, OSStatus& status) {
  status = errSecSuccess;
  if (auto found = statements_.find(sql); found != statements_.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  status = status_from_sqlite(sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                                 SQLITE_PREPARE_PERSISTENT, &statement, nullptr));
  if (status != errSecSuccess) return nullptr;
  statements_.emplace(sql, statement);
  return statement;
}

Statement::~Statement() {
  if (statement_ == nullptr) return;
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

void Statement::bind(int index, std::int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
}

void Statement::bind(int index, std::string_view text) {
  sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

void Statement::bind(int index, std::span<const std::uint8_t> bytes) {
  // A zero-length blob, not NULL, for an empty span.
  const void* data = bytes.empty() ? static_cast<const void*>("") : bytes.data();
  sqlite3_bind_blob(statement_, index, data, static_cast<int>(bytes.size()), SQLITE_STATIC);
}

int Statement::step() {
  return statement_ ? sqlite3_step(statement_) : SQLITE_MISUSE;
}

OSStatus Statement::run() {
  if (status_ != errSecSuccess) return status_;
  int result = step();
  return result == SQLITE_DONE ? errSecSuccess : status_from_sqlite(result);
}

std::int64_t Statement::integer(int column) {
  return sqlite3_column_int64(statement_, column);
}

std::string Statement::text(int column) {
  const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  if (data == nullptr) return std::string();
  return std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

std::span<const std::uint8_t> Statement::blob(int column) {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_, column));
  if (data == nullptr) return {};
  return {data, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))};
}

}  // namespace ktarn::platform::software
