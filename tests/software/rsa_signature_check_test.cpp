// A software key's signatures are not checked again after signing, because the crypto library's
// private-key operation checks its own result with the public exponent and modulus. These keys
// carry a damaged prime factor or CRT part, as a fault in the arithmetic would leave them: every
// signature they give must still verify under the key's public half, or none be given.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <array>
#include <memory>

#include "bridge/platform/software/keys/rsa_key.hpp"
#include "software_keychain_fixture.hpp"

namespace ktarn::platform::software {
namespace {

using Number = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

constexpr std::array kParts = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
    OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
    OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
};

// The key with one of its parts moved by two, built without any consistency check.
Pkey with_damaged_part(EVP_PKEY& key, const char* damaged) {
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> builder(OSSL_PARAM_BLD_new(),
                                                                          OSSL_PARAM_BLD_free);
  std::vector<Number> numbers;
  for (const char* part : kParts) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(&key, part, &value) != 1) return nullptr;
    numbers.emplace_back(value, BN_free);
    if (std::string_view(part) == damaged) BN_add_word(value, 2);
    OSSL_PARAM_BLD_push_BN(builder.get(), part, value);
  }
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
      OSSL_PARAM_BLD_to_param(builder.get()), OSSL_PARAM_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> maker(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* made = nullptr;
  if (!params || !maker || EVP_PKEY_fromdata_init(maker.get()) != 1 ||
      EVP_PKEY_fromdata(maker.get(), &made, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return nullptr;
  }
  return Pkey(made, EVP_PKEY_free);
}

TEST(RsaSignatureCheck, NoSignatureOfAKeyWithDamagedFactorsFailsItsPublicHalf) {
  const Pkey key = *generate_rsa_key(2048);
  ASSERT_TRUE(key);
  const Bytes public_der = *encode_public_key(*key);
  int signed_digests = 0;
  for (const char* damaged :
       {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}) {
    SCOPED_TRACE(damaged);
    const Pkey faulty = with_damaged_part(*key, damaged);
    ASSERT_TRUE(faulty);
    const auto signer = make_sha256_signer(*faulty);
    ASSERT_TRUE(signer);
    for (std::uint8_t round = 0; round < 8; ++round) {
      const Bytes digest(32, round);
      const auto signature = sign_sha256_digest(**signer, digest);
      if (!signature) continue;
      EXPECT_TRUE(verifies(public_der, digest, *signature)) << int{round};
      ++signed_digests;
    }
  }
  // Refusing to sign would be safe as well, but the library recomputes and signs.
  EXPECT_GT(signed_digests, 0);
}

}  // namespace
}  // namespace ktarn::platform::software
