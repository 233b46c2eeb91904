#include "bridge/platform/software/keychain/sqlite_statement.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

namespace ktarn::platform::software {
namespace {

TEST(StatementCache, AStatementIsFoundAgainByItsTextWhereverTheTextIsHeld) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closing(db, sqlite3_close);
  StatementCache cache(db);

  // The same buffer holding another statement's text later must run that other statement.
  std::string sql = "SELECT 1";
  for (const char* text : {"SELECT 1", "SELECT 2"}) {
    sql.assign(text);
    Statement statement(cache, sql);
    ASSERT_EQ(statement.step(), SQLITE_ROW) << text;
    EXPECT_EQ(statement.integer(0), text[7] - '0') << text;
  }

  // The same text held elsewhere reuses the statement prepared first.
  OSStatus status = 0;
  const std::string copy = "SELECT 2";
  EXPECT_EQ(cache.prepared(copy, status), cache.prepared(std::string("SELECT 2"), status));
  EXPECT_NE(cache.prepared("SELECT 1", status), cache.prepared(copy, status));
}

}  // namespace
}  // namespace ktarn::platform::software
