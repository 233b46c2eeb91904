#include "base/sha256.hpp"

#include <gtest/gtest.h>

#include <string>

#include "base/hex_bytes.hpp"

namespace ktarn {
namespace {

struct KnownAnswer {
  std::string message;
  std::string_view digest;
  std::string_view what;
};

// The examples published with the standard: one block, the padding spilling into a second block
// (448 bits), two blocks of message (896 bits), and a long message of many blocks.
TEST(Sha256, KnownAnswers) {
  const KnownAnswer answers[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "empty"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "abc"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", "448 bits"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opq"
       "rsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1", "896 bits"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", "a million 'a'"},
  };
  for (const KnownAnswer& answer : answers) {
    EXPECT_EQ(testing::to_hex(sha256(as_bytes(answer.message))), answer.digest) << answer.what;
  }
}

}  // namespace
}  // namespace ktarn
