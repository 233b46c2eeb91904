#include "macos/sha256.hpp"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>

#include "hex_bytes.hpp"

namespace ktarn::macos {
namespace {

using testing::to_hex;

std::string hex_digest(std::string_view message) {
  return to_hex(sha256(as_bytes(message)));
}

// The examples published with the standard.
TEST(Sha256, PublishedExamples) {
  EXPECT_EQ(hex_digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex_digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex_digest(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(hex_digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// Every length up to 4096 bytes: each padding layout (tail of 0 to 63 bytes, one or two final
// blocks) many times over, against an independent implementation.
TEST(Sha256, AgreesWithOpenSslForEveryLength) {
  std::mt19937 random(180);
  std::vector<std::uint8_t> message(4096);
  for (auto& byte : message) byte = static_cast<std::uint8_t>(random());
  for (std::size_t length = 0; length <= message.size(); ++length) {
    const ByteView input(message.data(), length);
    std::uint8_t expected[SHA256_DIGEST_LENGTH];
    SHA256(input.data(), input.size(), expected);
    ASSERT_EQ(to_hex(sha256(input)), to_hex(expected)) << "length " << length;
  }
}

}  // namespace
}  // namespace ktarn::macos
