// RSA keys with some of their parts changed, as damage in a stored key or a fault in the
// arithmetic would leave them: built from their numbers without any consistency check, so the
// checks under test are the only ones they meet.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <array>
#include <functional>
#include <string_view>
#include <vector>

#include "base/c_handle.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"

namespace ktarn::platform::software::testing {

// The parts of a two-prime RSA private key, in the order of its PKCS #1 form.
constexpr std::array kRsaParts = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
    OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
    OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
};

using PartChange = std::function<void(std::string_view part, BIGNUM& value)>;

// The key with change applied to each of its parts; nullptr when OpenSSL will not build it.
inline Pkey with_changed_parts(EVP_PKEY& key, const PartChange& change) {
  const CHandle<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> builder(OSSL_PARAM_BLD_new());
  std::vector<CHandle<BIGNUM, BN_clear_free>> numbers;
  for (const char* part : kRsaParts) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(&key, part, &value) != 1) return nullptr;
    numbers.emplace_back(value);
    change(part, *value);
    OSSL_PARAM_BLD_push_BN(builder.get(), part, value);
  }
  const CHandle<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(builder.get()));
  const CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free> maker(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* made = nullptr;
  if (!params || !maker || EVP_PKEY_fromdata_init(maker.get()) != 1 ||
      EVP_PKEY_fromdata(maker.get(), &made, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return nullptr;
  }
  return Pkey(made, EVP_PKEY_free);
}

}  // namespace ktarn::platform::software::testing
