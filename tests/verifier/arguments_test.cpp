// ktarn-verify's command line: what it accepts and the usage error for everything else.
#include "verifier/cli/arguments.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace ktarn::verifier::cli {
namespace {

Expected<Arguments, std::string> parse(std::vector<const char*> words) {
  return parse_arguments(words);
}

TEST(VerifyArguments, FilesAndOptionsInAnyOrder) {
  const auto arguments =
      parse({"--nonce", "n 1", "key.json", "--purpose", "events", "-", "--key-id", "K"});
  ASSERT_TRUE(arguments.has_value()) << arguments.error();
  EXPECT_EQ(arguments->key_path, "key.json");
  EXPECT_EQ(arguments->sign_path, "-");
  const Expectations expected = arguments->expectations();
  EXPECT_EQ(expected.nonce, "n 1");
  EXPECT_EQ(expected.purpose, "events");
  EXPECT_EQ(expected.key_id, "K");

  const auto plain = parse({"k", "s"});
  ASSERT_TRUE(plain.has_value());
  EXPECT_FALSE(plain->expectations().nonce || plain->expectations().purpose ||
               plain->expectations().key_id);
  EXPECT_EQ(parse({"k", "--nonce", "", "s"})->expectations().nonce, "") << "an empty nonce counts";
  EXPECT_TRUE(parse({"k", "--help"})->help);
}

TEST(VerifyArguments, UsageErrors) {
  struct Case {
    std::vector<const char*> words;
    std::string_view error;
  };
  const Case cases[] = {
      {{}, "KEY_JSON and SIGN_JSON are both needed"},
      {{"k"}, "KEY_JSON and SIGN_JSON are both needed"},
      {{"k", "s", "t"}, "KEY_JSON and SIGN_JSON are both needed"},
      {{"-", "-"}, "only one input can be -"},
      {{"k", "s", "--nonce"}, "--nonce needs a value"},
      {{"k", "s", "--nonce", "a", "--nonce", "b"}, "--nonce given twice"},
      {{"k", "s", "--purpose", "login"}, "--purpose is one of challenge, request, events"},
      {{"k", "s", "--alg", "RS256"}, "unknown option --alg"},
      {{"k", "s", "-x"}, "unknown option -x"},
  };
  for (const Case& c : cases) {
    const auto arguments = parse(c.words);
    ASSERT_FALSE(arguments.has_value()) << c.error;
    EXPECT_EQ(arguments.error(), c.error);
  }
}

}  // namespace
}  // namespace ktarn::verifier::cli
