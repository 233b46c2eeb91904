// Several companions started together on one empty login keychain: each waits for the others'
// writes rather than failing, and all of them hand out the same device key.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/companion_process.hpp"

namespace ktarn::e2e {
namespace {

// The "n" member of a key response, or the whole line when it has none.
std::string modulus_of(const std::string& line) {
  const std::string marker = "\"n\":\"";
  std::size_t start = line.find(marker);
  if (start == std::string::npos) return line;
  start += marker.size();
  return line.substr(start, line.find('"', start) - start);
}

TEST(KeychainConcurrency, EightCompanionsOnAnEmptyKeychainAllUseTheSameKey) {
  TemporaryHome home;
  ProcessOptions options;
  options.environment = {home.environment(), {"DISPLAY", std::nullopt}};
  std::vector<std::unique_ptr<CompanionProcess>> companions;
  for (int i = 0; i < 8; ++i) companions.push_back(std::make_unique<CompanionProcess>(options));
  // Every request is on its way before the first answer is read.
  for (auto& companion : companions) {
    ASSERT_TRUE(companion->write("{\"id\":\"k\",\"type\":\"key\"}\n"));
  }
  std::vector<std::string> moduli;
  for (auto& companion : companions) {
    std::optional<std::string> line = companion->read_line();
    ASSERT_TRUE(line);
    ASSERT_NE(line->find("\"ok\":true"), std::string::npos) << *line;
    moduli.push_back(modulus_of(*line));
  }
  for (const std::string& modulus : moduli) EXPECT_EQ(modulus, moduli.front());

  // A later companion finds the same key rather than making another.
  CompanionProcess later(options);
  std::optional<std::string> line = later.round_trip("{\"id\":\"k\",\"type\":\"key\"}");
  ASSERT_TRUE(line);
  EXPECT_EQ(modulus_of(*line), moduli.front());
}

}  // namespace
}  // namespace ktarn::e2e
