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
#include "changed_rsa_key.hpp"
#include "software_keychain_fixture.hpp"

namespace ktarn::platform::software {
namespace {

// The key with one of its parts moved by two, built without any consistency check.
Pkey with_damaged_part(EVP_PKEY& key, const char* damaged) {
  return testing::with_changed_parts(key, [damaged](std::string_view part, BIGNUM& value) {
    if (part == damaged) BN_add_word(&value, 2);
  });
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
