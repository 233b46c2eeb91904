// The strict URL-safe reading: exactly the texts the companion writes are accepted.
#include "verifier/base64url.hpp"

#include <gtest/gtest.h>

namespace ktarn::verifier {
namespace {

struct DecodeCase {
  std::string_view text;
  std::optional<std::string_view> bytes;  // none: refused
  std::string_view why;
};

TEST(Base64url, AcceptsOnlyTheOneTextOfEachByteSequence) {
  const DecodeCase cases[] = {
      {"", "", "no bytes"},
      {"QQ", "A", "one byte, two symbols"},
      {"QUI", "AB", "two bytes, three symbols"},
      {"QUJD", "ABC", "a whole group"},
      {"-_-_", "\xfb\xff\xbf", "the two URL-safe letters"},
      {"+/+/", std::nullopt, "the standard alphabet's letters"},
      {"QQ==", std::nullopt, "padding"},
      {"QUI=", std::nullopt, "padding of one"},
      {"QR", std::nullopt, "a spare bit set"},
      {"QUJ", std::nullopt, "a spare bit set after two bytes"},
      {"Q", std::nullopt, "a lone symbol stands for no whole byte"},
      {"QUJDQ", std::nullopt, "five symbols"},
      {"QU JD", std::nullopt, "white space"},
      {"QUJD\n", std::nullopt, "a line break"},
      {"QU=D", std::nullopt, "padding inside"},
      {"QUJ\x80", std::nullopt, "a byte outside ASCII"},
  };
  for (const DecodeCase& c : cases) {
    const std::optional<ktarn::Bytes> decoded = base64url_decode_strict(c.text);
    ASSERT_EQ(decoded.has_value(), c.bytes.has_value()) << c.why;
    if (decoded) {
      EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *c.bytes) << c.why;
    }
  }
}

TEST(Base64url, ReadsBackWhatTheCompanionWrites) {
  for (std::size_t size = 0; size < 70; ++size) {
    ktarn::Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 71 + size);
    EXPECT_EQ(base64url_decode_strict(ktarn::base64url_encode(bytes)), bytes) << size;
  }
}

}  // namespace
}  // namespace ktarn::verifier
