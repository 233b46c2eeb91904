#include "base/base64.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <numeric>
#include <random>

#include "base/hex_bytes.hpp"

namespace ktarn {
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
    const auto url_decoded = base64url_decode_strict(v.url_safe);
    ASSERT_TRUE(url_decoded.has_value());
    EXPECT_EQ(testing::text_of(*url_decoded), v.data);
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
    const auto url_decoded = base64url_decode_strict(url_safe);
    ASSERT_TRUE(url_decoded.has_value()) << url_safe;
    EXPECT_EQ(to_hex(*url_decoded), to_hex(data));
  }
}

// Six bits at a time, with no blocks, groups or tables: what both encoders must write.
std::string plain_encode(const Bytes& data, std::string_view alphabet, bool padded) {
  std::string text;
  std::uint32_t bits = 0;
  int held = 0;
  for (const std::uint8_t byte : data) {
    bits = bits << 8 | byte;
    for (held += 8; held >= 6; held -= 6) text += alphabet[bits >> (held - 6) & 0x3F];
  }
  if (held > 0) text += alphabet[bits << (6 - held) & 0x3F];
  while (padded && text.size() % 4 != 0) text += '=';
  return text;
}

struct Form {
  std::string (*encode)(ByteView);
  std::string_view alphabet;
  bool padded;
};

constexpr Form kForms[] = {
    {&base64_encode, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", true},
    {&base64url_encode, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", false},
};

// Long inputs are encoded in blocks of sixteen symbols where the CPU allows it, and the last few
// bytes one group at a time: every length around those blocks, and
// every symbol at every place of a block, must come out as the plain encoder writes them.
TEST(Base64, WideEncodingMatchesAPlainEncoder) {
  std::vector<Bytes> inputs;
  std::mt19937 random(1024);
  std::vector<std::size_t> lengths(101);
  std::iota(lengths.begin(), lengths.end(), 0);
  lengths.insert(lengths.end(), {4095, 32767, 32768});
  for (const std::size_t length : lengths) {
    Bytes patterned(length);
    Bytes noise(length);
    for (std::size_t i = 0; i < length; ++i) {
      patterned[i] = static_cast<std::uint8_t>(i * 37 + 11);
      noise[i] = static_cast<std::uint8_t>(random());
    }
    inputs.push_back(std::move(patterned));
    inputs.push_back(std::move(noise));
  }
  // Symbol k of block j has value (j / 2 + 5k) mod 64: over 128 blocks each of the sixteen places
  // of a block meets every value. A few symbols more let the last block be a wide one.
  Bytes symbols(128 * 16 + 4 * 4);
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    symbols[i] = static_cast<std::uint8_t>((i / 32 + 5 * (i % 16)) % 64);
  }
  Bytes every_symbol;
  for (std::size_t i = 0; i < symbols.size(); i += 4) {
    const std::uint32_t group = std::uint32_t{symbols[i]} << 18 |
                                std::uint32_t{symbols[i + 1]} << 12 |
                                std::uint32_t{symbols[i + 2]} << 6 | symbols[i + 3];
    every_symbol.insert(every_symbol.end(),
                        {static_cast<std::uint8_t>(group >> 16),
                         static_cast<std::uint8_t>(group >> 8), static_cast<std::uint8_t>(group)});
  }
  inputs.push_back(every_symbol);

  for (const Form& form : kForms) {
    std::string expected_symbols;
    for (const std::uint8_t value : symbols) expected_symbols += form.alphabet[value];
    EXPECT_EQ(form.encode(every_symbol), expected_symbols) << form.alphabet;
    for (const Bytes& data : inputs) {
      ASSERT_EQ(form.encode(data), plain_encode(data, form.alphabet, form.padded))
          << form.alphabet << " input " << &data - inputs.data() << ", length " << data.size();
    }
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

// The URL-safe form has no padding, so its strictness rests on the alphabet, the length and the
// last symbol's spare bits alone.
constexpr Rejection kUrlSafeRejections[] = {
    {"Zg==", "padding"},
    {"Zm8=", "padding of one"},
    {"Z", "a lone symbol carries no whole byte"},
    {"Zm9vY", "a lone symbol after a group"},
    {"Zh", "spare bits set after one byte"},
    {"Zm9", "spare bits set after two bytes"},
    {"Zm9vYh", "spare bits set after a whole group"},
    {"+/8", "the standard alphabet's letters"},
    {"Zm9v+", "a standard letter at the end"},
    {"Zm9v/w", "a standard letter in the tail"},
    {"Zm=v", "padding inside a group"},
    {"Zm9v\n", "trailing line break"},
    {" Zm9v", "leading space"},
    {"Zm9v YmFy", "space between groups"},
    {"Zm9v\tYg", "tab inside"},
    {"Zm9.", "character outside both alphabets"},
    {std::string_view("Zm\0v", 4), "NUL byte"},
    {"Zm9\xc3\xa9", "non-ASCII bytes"},
    {"\xff\xff\xff\xff", "bytes whose value sets the not-a-symbol mark"},
};

TEST(Base64, StrictUrlSafeDecodeRejects) {
  for (const Rejection& r : kUrlSafeRejections) {
    EXPECT_FALSE(base64url_decode_strict(r.text).has_value()) << r.reason;
  }
}

// A byte outside the alphabet anywhere in a long text is found, whichever group or position it
// sits in, the unpadded tail and the padded last group included.
TEST(Base64, StrictDecodersRejectABadByteAnywhere) {
  Bytes data(95);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37);
  const std::string standard = base64_encode(data);
  const std::string url_safe = base64url_encode(data);
  for (std::size_t at = 0; at < url_safe.size(); ++at) {
    for (const char bad : {'=', '+', ' ', '*', '\x80'}) {
      std::string broken = url_safe;
      broken[at] = bad;
      EXPECT_FALSE(base64url_decode_strict(broken).has_value()) << at << " " << int{bad};
    }
  }
  for (std::size_t at = 0; at < standard.size(); ++at) {
    for (const char bad : {'-', ' ', '*', '\x80'}) {
      std::string broken = standard;
      broken[at] = bad;
      EXPECT_FALSE(base64_decode_strict(broken).has_value()) << at << " " << int{bad};
    }
  }
}

TEST(Base64, EmptyTextIsZeroBytes) {
  const auto decoded = base64_decode_strict("");
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->empty());
  const auto url_decoded = base64url_decode_strict("");
  ASSERT_TRUE(url_decoded.has_value());
  EXPECT_TRUE(url_decoded->empty());
}

TEST(Base64, DecodesEveryByteValue) {
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  const auto decoded = base64_decode_strict(base64_encode(all));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(to_hex(*decoded), to_hex(all));
  const auto url_decoded = base64url_decode_strict(base64url_encode(all));
  ASSERT_TRUE(url_decoded.has_value());
  EXPECT_EQ(to_hex(*url_decoded), to_hex(all));
  EXPECT_EQ(to_hex(*base64url_decode_strict("-_-_")), to_hex(from_hex("fbffbf")));
  EXPECT_EQ(to_hex(*base64_decode_strict("AP8=")), "00ff");
  EXPECT_EQ(to_hex(*base64_decode_strict("+/+/")), to_hex(from_hex("fbffbf")));
}

}  // namespace
}  // namespace ktarn
