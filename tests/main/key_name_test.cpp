#include "main/key_name.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ktarn::host {
namespace {

struct ChoiceCase {
  const char* reason;
  std::vector<std::string_view> arguments;
  std::string_view expected;
};

TEST(KeyName, ChoosesTheValueAfterTheFirstFlagBeforeTheLastArgument) {
  const ChoiceCase cases[] = {
      {"no arguments at all", {}, kDefaultKeyName},
      {"program name only", {"prog"}, kDefaultKeyName},
      {"flag and value", {"prog", "--key-name", "kTARN.A"}, "kTARN.A"},
      {"flag in last place has no value", {"prog", "--key-name"}, kDefaultKeyName},
      {"first flag wins", {"prog", "--key-name", "kTARN.A", "--key-name", "kTARN.B"}, "kTARN.A"},
      {"the value may itself be the flag",
       {"prog", "--key-name", "--key-name", "kTARN.A"},
       "--key-name"},
      {"attached value is not recognised", {"prog", "--key-name=kTARN.A"}, kDefaultKeyName},
      {"argument 0 counts", {"--key-name", "kTARN.Zero"}, "kTARN.Zero"},
      {"empty value taken as it is", {"prog", "--key-name", ""}, ""},
      {"other arguments ignored", {"prog", "-v", "x", "--key-name", "kTARN.C", "y"}, "kTARN.C"},
      {"flag compared exactly", {"prog", "--Key-name", "kTARN.A", "--key-name "}, kDefaultKeyName},
  };
  for (const ChoiceCase& c : cases) {
    EXPECT_EQ(choose_key_name(c.arguments), c.expected) << c.reason;
  }
}

struct ValidityCase {
  const char* reason;
  std::string name;
  bool valid;
};

TEST(KeyName, AcceptsOnlyNamesInTheNamespaceWithinTheLengthLimits) {
  const std::string two_byte = "\xC3\xA9";  // é
  std::string sixty_two_byte;
  for (int i = 0; i < 57; ++i) sixty_two_byte += two_byte;  // 114 bytes after the prefix
  const ValidityCase cases[] = {
      {"default", std::string(kDefaultKeyName), true},
      {"prefix alone", "kTARN.", true},
      {"empty", "", false},
      {"prefix without the dot", "kTARN", false},
      {"lower case", "ktarn.A", false},
      {"prefix not at the start", "x.kTARN.A", false},
      {"120 bytes", "kTARN." + std::string(114, 'a'), true},
      {"121 bytes", "kTARN." + std::string(115, 'a'), false},
      {"120 bytes of two-byte characters", "kTARN." + sixty_two_byte, true},
      {"122 bytes of two-byte characters", "kTARN." + sixty_two_byte + two_byte, false},
      {"not UTF-8", "kTARN.\xFF", false},
      {"truncated sequence", "kTARN.\xC3", false},
  };
  for (const ValidityCase& c : cases) {
    EXPECT_EQ(is_valid_key_name(c.name), c.valid) << c.reason;
  }
}

}  // namespace
}  // namespace ktarn::host
