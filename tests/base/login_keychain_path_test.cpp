#include "base/login_keychain_path.hpp"

#include <gtest/gtest.h>

#include <set>

namespace ktarn {
namespace {

TEST(LoginKeychainPath, TheCurrentNameWhenAnythingIsThereElseTheOlderOne) {
  struct Case {
    const char* home;
    bool current_exists;
    const char* path;
  };
  const Case cases[] = {
      {"/home/u", true, "/home/u/Library/Keychains/login.keychain-db"},
      {"/home/u", false, "/home/u/Library/Keychains/login.keychain"},
      {"/home/u/", true, "/home/u/Library/Keychains/login.keychain-db"},
      {"/home/u//", false, "/home/u/Library/Keychains/login.keychain"},
      {"/", true, "/Library/Keychains/login.keychain-db"},
      {"/", false, "/Library/Keychains/login.keychain"},
  };
  for (const Case& c : cases) {
    std::set<std::string> asked;
    const std::string path = login_keychain_path(c.home, [&](const std::string& candidate) {
      asked.insert(candidate);
      return c.current_exists;
    });
    EXPECT_EQ(path, c.path) << c.home;
    // Only the current name is looked for; the older one is left for the open to judge.
    const std::string current = c.current_exists ? c.path : std::string(c.path) + "-db";
    EXPECT_EQ(asked, std::set<std::string>{current}) << c.home;
  }
}

}  // namespace
}  // namespace ktarn
