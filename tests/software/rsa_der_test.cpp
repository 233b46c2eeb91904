// The keychain's own DER forms of a key agree byte for byte with the crypto library's: the public
// half it writes is what the library writes, the parts it reads from a stored key are the
// library's numbers; and a stored key in any other encoding than canonical DER is refused, the
// key made of the same numbers or not.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>
#include <string>
#include <vector>

#include "bridge/platform/software/keys/rsa_der.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"
#include "changed_rsa_key.hpp"

namespace ktarn::platform::software {
namespace {

Bytes library_public_der(EVP_PKEY& key) {
  unsigned char* der = nullptr;
  const int length = i2d_PublicKey(&key, &der);
  Bytes bytes(der, der + (length > 0 ? length : 0));
  OPENSSL_free(der);
  return bytes;
}

Bytes library_private_der(EVP_PKEY& key) {
  unsigned char* der = nullptr;
  const int length = i2d_PrivateKey(&key, &der);
  Bytes bytes(der, der + (length > 0 ? length : 0));
  OPENSSL_clear_free(der, length > 0 ? static_cast<std::size_t>(length) : 0);
  return bytes;
}

Bytes part_bytes(EVP_PKEY& key, const char* part) {
  BIGNUM* value = nullptr;
  if (EVP_PKEY_get_bn_param(&key, part, &value) != 1) return {};
  Bytes bytes(static_cast<std::size_t>(BN_num_bytes(value)));
  BN_bn2bin(value, bytes.data());
  BN_clear_free(value);
  return bytes;
}

TEST(RsaDer, EachKeySizeIsWrittenAndReadAsTheLibraryDoes) {
  for (int bits : {512, 1024, 2048, 4096}) {
    SCOPED_TRACE(bits);
    const Pkey key = *generate_rsa_key(bits);
    EXPECT_EQ(*encode_public_key(*key), library_public_der(*key));
    const Bytes stored = library_private_der(*key);
    const auto parts = read_two_prime_private_key(stored);
    ASSERT_TRUE(parts);
    for (std::size_t i = 0; i < kRsaPrivatePartCount; ++i) {
      EXPECT_EQ(Bytes(parts->at(i).begin(), parts->at(i).end()),
                part_bytes(*key, testing::kRsaParts[i]))
          << testing::kRsaParts[i];
    }
    const auto decoded = decode_rsa_private_key(stored);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(EVP_PKEY_eq(decoded->get(), key.get()), 1);
  }
}

TEST(RsaDer, IntegersTakeASignOctetExactlyWhenTheirTopBitIsSet) {
  struct Case {
    const char* why;
    Bytes modulus, exponent, der;
  };
  const Case cases[] = {
      {"top bit set, and zero", {0x80}, {}, {0x30, 0x07, 0x02, 0x02, 0x00, 0x80, 0x02, 0x01, 0x00}},
      {"leading zeros dropped",
       {0x00, 0x00, 0x7f},
       {0x01, 0x00, 0x01},
       {0x30, 0x08, 0x02, 0x01, 0x7f, 0x02, 0x03, 0x01, 0x00, 0x01}},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(write_rsa_public_key(test.modulus, test.exponent), test.der) << test.why;
  }
}

// The stored DER of a 1024-bit key changed in its encoding, never in its numbers' values unless
// said so.
Bytes changed(Bytes der, const std::function<void(Bytes&)>& change) {
  change(der);
  return der;
}

TEST(RsaDer, AnyOtherEncodingOfAStoredKeyIsRefused) {
  const Pkey key = *generate_rsa_key(1024);
  const Bytes der = library_private_der(*key);
  // A 1024-bit key: 30 82 LL LL, the version 02 01 00, then the modulus 02 81 81 00 ...
  ASSERT_EQ(der[0], 0x30);
  ASSERT_EQ(der[1], 0x82);
  ASSERT_EQ(Bytes(der.begin() + 4, der.begin() + 11),
            (Bytes{0x02, 0x01, 0x00, 0x02, 0x81, 0x81, 0x00}));
  const auto set_outer_length = [](Bytes& bytes, std::size_t at) {
    const std::size_t length = bytes.size() - at;
    bytes[at - 2] = static_cast<std::uint8_t>(length >> 8);
    bytes[at - 1] = static_cast<std::uint8_t>(length);
  };
  struct Case {
    std::string why;
    Bytes der;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"a trailing byte", changed(der, [](Bytes& b) { b.push_back(0); })},
      {"one byte short", changed(der, [](Bytes& b) { b.pop_back(); })},
      {"not a SEQUENCE", changed(der, [](Bytes& b) { b[0] = 0x31; })},
      {"the outer length in three octets", changed(der,
                                                   [&](Bytes& b) {
                                                     b.insert(b.begin() + 2, 0x00);
                                                     b[1] = 0x83;
                                                   })},
      {"an indefinite outer length", changed(der,
                                             [](Bytes& b) {
                                               b.erase(b.begin() + 2, b.begin() + 4);
                                               b[1] = 0x80;
                                               b.insert(b.end(), {0x00, 0x00});
                                             })},
      {"version 1", changed(der, [](Bytes& b) { b[6] = 0x01; })},
      {"the version in two octets", changed(der,
                                            [&](Bytes& b) {
                                              b.insert(b.begin() + 6, 0x00);
                                              b[5] = 0x02;
                                              set_outer_length(b, 4);
                                            })},
      {"the version's length in long form", changed(der,
                                                    [&](Bytes& b) {
                                                      b[4 + 1] = 0x81;
                                                      b.insert(b.begin() + 4 + 2, 0x01);
                                                      set_outer_length(b, 4);
                                                    })},
      {"a superfluous zero octet before the modulus", changed(der,
                                                              [&](Bytes& b) {
                                                                b[9] = 0x82;
                                                                b.insert(b.begin() + 10, 0x00);
                                                                set_outer_length(b, 4);
                                                              })},
      {"the modulus negative (its sign octet dropped)", changed(der,
                                                                [&](Bytes& b) {
                                                                  b.erase(b.begin() + 10);
                                                                  b[9] = 0x80;
                                                                  set_outer_length(b, 4);
                                                                })},
      {"a ninth INTEGER", changed(der,
                                  [&](Bytes& b) {
                                    b.insert(b.end(), {0x02, 0x01, 0x01});
                                    set_outer_length(b, 4);
                                  })},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.why);
    EXPECT_FALSE(read_two_prime_private_key(test.der));
    auto decoded = decode_rsa_private_key(test.der);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error(), errSecDecode);
  }
  EXPECT_TRUE(decode_rsa_private_key(der)) << "the key as stored";
}

}  // namespace
}  // namespace ktarn::platform::software
