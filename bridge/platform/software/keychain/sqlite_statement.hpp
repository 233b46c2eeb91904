// Prepared SQLite statements kept for the life of a connection. A keychain operation runs the
// same few statements every time, and preparing them again costs more than running them. Each is
// found again by its text, so a statement is reused only for exactly the SQL it was prepared
// from, wherever that text is held; a borrowed statement is reset when it is given back, so it
// never holds a transaction open.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "bridge/platform/keychain.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace ktarn::platform::software {

class StatementCache {
 public:
  explicit StatementCache(sqlite3* db) : db_(db) {}
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;
  ~StatementCache();

  // The prepared form of sql, or none with the failure in status.
  sqlite3_stmt* prepared(std::string_view sql, OSStatus& status);

 private:
  sqlite3* db_;
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
};

// One use of a cached statement.
class Statement {
 public:
  Statement(StatementCache& cache, std::string_view sql)
      : statement_(cache.prepared(sql, status_)) {}
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  OSStatus status() const { return status_; }
  void bind(int index, std::int64_t value);
  void bind(int index, std::string_view text);
  void bind(int index, std::span<const std::uint8_t> bytes);
  // SQLITE_ROW, SQLITE_DONE or a failure code.
  int step();
  // Runs a statement that returns no rows.
  OSStatus run();
  std::int64_t integer(int column);
  std::string text(int column);
  // The column's bytes, valid until the next step; the caller copies them into what holds them,
  // so key bytes never pass through an unwiped buffer.
  std::span<const std::uint8_t> blob(int column);

 private:
  OSStatus status_ = 0;
  sqlite3_stmt* statement_;
};

}  // namespace ktarn::platform::software
