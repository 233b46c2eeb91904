// A stored key is decoded only when its parts fit together: one bit flipped in any part, at its
// lowest or in its middle, a key whose exponents are all one, or a key of three primes is
// refused, while sound keys of the sizes the keychain makes decode.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/platform/software/keys/rsa_der.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"
#include "changed_rsa_key.hpp"

namespace ktarn::platform::software {
namespace {

using testing::kRsaParts;
using Change = testing::PartChange;

// The PKCS #1 DER of the key with its parts changed, built without any consistency check.
Bytes der_with(EVP_PKEY& key, const Change& change) {
  const Pkey changed = testing::with_changed_parts(key, change);
  if (!changed) return {};
  EVP_PKEY* made = changed.get();
  unsigned char* der = nullptr;
  const int length = i2d_PrivateKey(made, &der);
  if (length <= 0) return {};
  Bytes bytes(der, der + length);
  OPENSSL_clear_free(der, static_cast<std::size_t>(length));
  return bytes;
}

Bytes der_of(EVP_PKEY& key) {
  return der_with(key, [](std::string_view, BIGNUM&) {});
}

Change flip(std::string_view damaged, bool in_the_middle) {
  return [damaged, in_the_middle](std::string_view part, BIGNUM& value) {
    if (part != damaged) return;
    const int bit = in_the_middle ? BN_num_bits(&value) / 2 : 0;
    if (BN_is_bit_set(&value, bit)) {
      BN_clear_bit(&value, bit);
    } else {
      BN_set_bit(&value, bit);
    }
  };
}

Pkey three_prime_key() {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> maker(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* made = nullptr;
  if (!maker || EVP_PKEY_keygen_init(maker.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(maker.get(), 2048) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_primes(maker.get(), 3) != 1 ||
      EVP_PKEY_generate(maker.get(), &made) != 1) {
    return nullptr;
  }
  return Pkey(made, EVP_PKEY_free);
}

TEST(RsaKeyCheck, SoundKeysOfEachSizeDecode) {
  for (int bits : {1024, 2048, 4096}) {
    SCOPED_TRACE(bits);
    const Pkey key = *generate_rsa_key(bits);
    auto decoded = decode_rsa_private_key(der_of(*key));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(key_size_in_bits(**decoded), bits);
    // A lookup that makes no key reads the very numbers the key made later has.
    auto numbers = check_rsa_private_key(der_of(*key));
    ASSERT_TRUE(numbers);
    EXPECT_EQ(size_in_bits(*numbers), bits);
    EXPECT_EQ(write_rsa_public_key(numbers->modulus, numbers->exponent),
              *encode_public_key(**decoded));
  }
}

TEST(RsaKeyCheck, AKeyWhosePartsDoNotFitIsRefused) {
  const Pkey key = *generate_rsa_key(2048);
  const Pkey three_primes = three_prime_key();
  ASSERT_TRUE(three_primes);
  struct Case {
    std::string why;
    Bytes der;
  };
  std::vector<Case> cases;
  for (const char* part : kRsaParts) {
    for (bool in_the_middle : {false, true}) {
      cases.push_back(
          {std::string(in_the_middle ? "a bit in the middle of " : "the lowest bit of ") + part +
               " flipped",
           der_with(*key, flip(part, in_the_middle))});
    }
  }
  // Consistent but for the public exponent: every exponent one leaves messages as they are.
  cases.push_back({"exponents all one", der_with(*key, [](std::string_view part, BIGNUM& value) {
                     if (part != OSSL_PKEY_PARAM_RSA_N && part != OSSL_PKEY_PARAM_RSA_FACTOR1 &&
                         part != OSSL_PKEY_PARAM_RSA_FACTOR2 &&
                         part != OSSL_PKEY_PARAM_RSA_COEFFICIENT1) {
                       BN_one(&value);
                     }
                   })});
  cases.push_back({"three primes", [&] {
                     unsigned char* der = nullptr;
                     const int length = i2d_PrivateKey(three_primes.get(), &der);
                     Bytes bytes(der, der + (length > 0 ? length : 0));
                     OPENSSL_clear_free(der, length > 0 ? static_cast<std::size_t>(length) : 0);
                     return bytes;
                   }()});
  for (const Case& test : cases) {
    SCOPED_TRACE(test.why);
    ASSERT_FALSE(test.der.empty());
    auto decoded = decode_rsa_private_key(test.der);
    EXPECT_FALSE(decoded);
    if (!decoded) {
      EXPECT_EQ(decoded.error(), errSecDecode);
    }
    auto numbers = check_rsa_private_key(test.der);
    EXPECT_FALSE(numbers);
    if (!numbers) {
      EXPECT_EQ(numbers.error(), errSecDecode);
    }
  }
}

}  // namespace
}  // namespace ktarn::platform::software
