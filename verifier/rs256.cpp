#include "verifier/rs256.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <array>
#include <memory>

namespace ktarn::verifier {
namespace {

constexpr unsigned long kPublicExponent = 65537;

template <class T, void (*Free)(T*)>
struct Release {
  void operator()(T* object) const { Free(object); }
};
template <class T, void (*Free)(T*)>
using Handle = std::unique_ptr<T, Release<T, Free>>;

using Bignum = Handle<BIGNUM, BN_free>;
using ParamBuilder = Handle<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = Handle<OSSL_PARAM, OSSL_PARAM_free>;
using KeyContext = Handle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Key = Handle<EVP_PKEY, EVP_PKEY_free>;
using DigestContext = Handle<EVP_MD_CTX, EVP_MD_CTX_free>;

Key public_key(ktarn::ByteView modulus) {
  const Bignum n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  const ParamBuilder builder(OSSL_PARAM_BLD_new());
  if (!n || !builder ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_ulong(builder.get(), OSSL_PKEY_PARAM_RSA_E, kPublicExponent) != 1) {
    return nullptr;
  }
  const Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  const KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return Key(key);
}

// A relying party checks the proofs of the same enrolled devices again and again, and building a
// key (fetching its type, importing its parameters, preparing its modular arithmetic on first
// use) costs about as much as the verification itself. So each thread keeps the key of the last
// modulus it verified under and reuses it only for the same modulus, byte for byte; the key is
// public and is used for nothing but verification, so reusing it changes no outcome.
struct LastKey {
  std::array<std::uint8_t, 256> modulus{};
  Key key;
};

EVP_PKEY* key_for(ktarn::ByteView modulus) {
  thread_local LastKey last;
  if (last.key && std::ranges::equal(last.modulus, modulus)) return last.key.get();
  last.key = modulus.size() == last.modulus.size() ? public_key(modulus) : nullptr;
  if (last.key) std::ranges::copy(modulus, last.modulus.begin());
  return last.key.get();
}

bool verifies(ktarn::ByteView modulus, ktarn::ByteView message, ktarn::ByteView signature) {
  EVP_PKEY* key = key_for(modulus);
  const DigestContext context(EVP_MD_CTX_new());
  return key && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

}  // namespace

bool rs256_verifies(ktarn::ByteView modulus, ktarn::ByteView message, ktarn::ByteView signature) {
  const bool verified = verifies(modulus, message, signature);
  // A refused signature leaves OpenSSL's reasons queued on this thread; a relying party verifies
  // for as long as it runs, so nothing may pile up.
  if (!verified) ERR_clear_error();
  return verified;
}

}  // namespace ktarn::verifier
