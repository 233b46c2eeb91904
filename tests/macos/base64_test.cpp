#include "base/base64.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>

#include "hex_bytes.hpp"

namespace ktarn::macos {
namespace {

using testing::Bytes;
using testing::from_hex;
using testing::to_hex;

struct Vector {
  std::string_view data;
  std::string_view standard;
  std::string_view url_safe;
};

// RFC 4648 section 10, plus the two symbols the alphabets disagree on.
constexpr Vector kVectors[] = {
    {"", "", ""},
    {"f", "Zg==", "Zg"},
    {"fo", "Zm8=", "Zm8"},
    {"foo", "Zm9v", "Zm9v"},
    {"foob", "Zm9vYg==", "Zm9vYg"},
    {"fooba", "Zm9vYmE=", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    {"\xfb\xff", "+/8=", "-_8"},
    {"\xff\xff\xff", "////", "____"},
};

TEST(Base64, PublishedVectors) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.standard);
    EXPECT_EQ(base64_encode(as_bytes(v.data)), v.standard);
    EXPECT_EQ(base64url_encode(as_bytes(v.data)), v.url_safe);
    const auto decoded = base64_decode_strict(v.standard);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(testing::text_of(*decoded), v.data);
  }
}

// Every length around the group boundaries, against an independent encoder, then back.
TEST(Base64, AgreesWithOpenSslAndRoundTrips) {
  std::mt19937 random(4648);
  for (std::size_t length = 0; length <= 300; ++length) {
    Bytes data(length);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    std::string expected(4 * ((length + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                        data.data(), static_cast<int>(length));
    expected.resize(static_cast<std::size_t>(written));
    const std::string text = base64_encode(data);
    ASSERT_EQ(text, expected) << "length " << length;
    const auto decoded = base64_decode_strict(text);
    ASSERT_TRUE(decoded.has_value()) << text;
    EXPECT_EQ(to_hex(*decoded), to_hex(data));

    std::string url_safe = expected.substr(0, expected.find('='));
    for (char& c : url_safe) c = c == '+' ? '-' : c == '/' ? '_' : c;
    EXPECT_EQ(base64url_encode(data), url_safe);
  }
}

struct Rejection {
  std::string_view text;
  std::string_view reason;
};

constexpr Rejection kRejections[] = {
    {"Zg", "length not a multiple of 4 (padding left out)"},
    {"Zm8", "length not a multiple of 4"},
    {"Zg=", "padding short of the group"},
    {"Zg===", "length not a multiple of 4 (extra padding)"},
    {"Z===", "three padding characters carry no whole byte"},
    {"====", "padding only"},
    {"Zm9v====", "a whole group of padding"},
    {"Zg==Zm8=", "padding in the middle"},
    {"Z=g=", "padding between symbols"},
    {"Zh==", "spare bits set under double padding"},
    {"Zm9=", "spare bits set under single padding"},
    {"Zm8=\n", "trailing line break"},
    {"Zm9v\nYmFy", "line break inside"},
    {" Zm9v", "leading space"},
    {"Zm9v Zg==", "space inside"},
    {"Zm9v\tYg==", "tab inside"},
    {"-_8=", "URL-safe letters"},
    {"Zm9*", "character outside both alphabets"},
    {std::string_view("Zm\0v", 4), "NUL byte"},
    {"Zm9\xc3\xa9", "non-ASCII bytes"},
};

TEST(Base64, StrictDecodeRejects) {
  for (const Rejection& r : kRejections) {
    EXPECT_FALSE(base64_decode_strict(r.text).has_value()) << r.reason;
  }
}

TEST(Base64, EmptyTextIsZeroBytes) {
  const auto decoded = base64_decode_strict("");
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->empty());
}

TEST(Base64, DecodesEveryByteValue) {
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  const auto decoded = base64_decode_strict(base64_encode(all));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(to_hex(*decoded), to_hex(all));
  EXPECT_EQ(to_hex(*base64_decode_strict("AP8=")), "00ff");
  EXPECT_EQ(to_hex(*base64_decode_strict("+/+/")), to_hex(from_hex("fbffbf")));
}

}  // namespace
}  // namespace ktarn::macos
