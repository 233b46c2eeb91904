#include "bridge/platform/software/keys/tpm_key.hpp"

#include <array>
#include <cstdlib>
#include <utility>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>

#include "base/c_handle.hpp"
#include "bridge/platform/status_codes.hpp"

namespace ktarn::platform::software {

namespace {

// Every TPM operation names the provider, so nothing falls back to a software implementation;
// everything else in the context prefers the default provider, so that no incidental digest or
// random number in this context becomes a TPM command.
constexpr const char* kTpmOnly = "provider=tpm2";
constexpr const char* kPreferSoftware = "?provider=default";
// The TSS beneath the provider writes its diagnostics to standard error unless told otherwise, and
// the companion's standard error carries nothing but its one line.
constexpr const char* kTssLogVariable = "TSS2_LOG";
constexpr const char* kTssLogNothing = "all+NONE";
// Unless the provider's TCTI variable names a TPM, it is the kernel's resource manager: never the
// TSS's later fallbacks, which include TPM simulators on a loopback port that any local user could
// open and so be handed every key made "in the TPM".
constexpr const char* kTctiVariable = "TPM2OPENSSL_TCTI";
constexpr const char* kKernelResourceManager = "device:/dev/tpmrm0";

using PkeyContext = CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EncoderContext = CHandle<OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free>;
using DecoderContext = CHandle<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;
using Rand = CHandle<EVP_RAND, EVP_RAND_free>;
using RandContext = CHandle<EVP_RAND_CTX, EVP_RAND_CTX_free>;
using Number = CHandle<BIGNUM, BN_free>;
using ParamBuilder = CHandle<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = CHandle<OSSL_PARAM, OSSL_PARAM_free>;

}  // namespace

// The library context and its two providers, released once, after the last key made in it.
struct TpmKeys::Context {
  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    if (tpm != nullptr) OSSL_PROVIDER_unload(tpm);
    if (software != nullptr) OSSL_PROVIDER_unload(software);
    OSSL_LIB_CTX_free(library);
  }

  OSSL_LIB_CTX* library = nullptr;
  OSSL_PROVIDER* software = nullptr;
  OSSL_PROVIDER* tpm = nullptr;
};

namespace {

// The provider leaves its reasons on OpenSSL's error queue; the caller only learns the failure.
template <class T>
TpmResult<T> failure(TpmFailure reason) {
  ERR_clear_error();
  return Unexpected(reason);
}

// A random number from the TPM: the cheapest command that proves the TPM answers now.
bool tpm_answers(OSSL_LIB_CTX* library) {
  Rand rand(EVP_RAND_fetch(library, "CTR-DRBG", kTpmOnly));
  RandContext generator(rand ? EVP_RAND_CTX_new(rand.get(), nullptr) : nullptr);
  std::array<unsigned char, 8> bytes{};
  const bool answered =
      generator && EVP_RAND_instantiate(generator.get(), 0, 0, nullptr, 0, nullptr) == 1 &&
      EVP_RAND_generate(generator.get(), bytes.data(), bytes.size(), 0, 0, nullptr, 0) == 1;
  OPENSSL_cleanse(bytes.data(), bytes.size());
  ERR_clear_error();
  return answered;
}

// Keys and signing contexts hold the library context until they are released themselves.
Pkey adopt_key(std::shared_ptr<void> context, EVP_PKEY* key) {
  return Pkey(key, [context = std::move(context)](EVP_PKEY* released) { EVP_PKEY_free(released); });
}

Bytes encode_blob(EVP_PKEY& key) {
  EncoderContext encoder(
      OSSL_ENCODER_CTX_new_for_pkey(&key, EVP_PKEY_KEYPAIR, "DER", "PrivateKeyInfo", kTpmOnly));
  unsigned char* data = nullptr;
  std::size_t length = 0;
  if (!encoder || OSSL_ENCODER_CTX_get_num_encoders(encoder.get()) == 0 ||
      OSSL_ENCODER_to_data(encoder.get(), &data, &length) != 1) {
    return {};
  }
  Bytes blob(data, data + length);
  OPENSSL_free(data);
  return blob;
}

}  // namespace

OSStatus status_from_tpm_failure(TpmFailure failure) {
  switch (failure) {
    case TpmFailure::kUnreachable:
      return errSecIO;
    case TpmFailure::kRefused:
      return errSecDecode;
    case TpmFailure::kFailed:
      return errSecInternalComponent;
  }
  return errSecInternalComponent;
}

// OpenSSL is set up here, before any TpmKeys is complete, so that its own clean-up at exit is
// registered first and so runs last: an instance that lives as long as the process (the default
// platform's) then releases its keys and provider while OpenSSL still stands. (A request for no
// option at all returns before setting anything up.)
TpmKeys::TpmKeys() {
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}
TpmKeys::~TpmKeys() = default;
TpmKeys::TpmKeys(TpmKeys&&) noexcept = default;
TpmKeys& TpmKeys::operator=(TpmKeys&&) noexcept = default;

// A provider that failed to load is tried again next time: the TPM may have become reachable.
TpmResult<std::shared_ptr<TpmKeys::Context>> TpmKeys::context() {
  if (context_) return context_;
  ::setenv(kTssLogVariable, kTssLogNothing, 1);
  ::setenv(kTctiVariable, kKernelResourceManager, 0);
  auto context = std::make_shared<Context>();
  context->library = OSSL_LIB_CTX_new();
  if (context->library == nullptr ||
      EVP_set_default_properties(context->library, kPreferSoftware) != 1) {
    return failure<std::shared_ptr<Context>>(TpmFailure::kFailed);
  }
  context->software = OSSL_PROVIDER_load(context->library, "default");
  if (context->software == nullptr) return failure<std::shared_ptr<Context>>(TpmFailure::kFailed);
  // The provider connects to the TPM as it loads, and refuses to load without one.
  context->tpm = OSSL_PROVIDER_load(context->library, "tpm2");
  if (context->tpm == nullptr) return failure<std::shared_ptr<Context>>(TpmFailure::kUnreachable);
  context_ = std::move(context);
  return context_;
}

bool TpmKeys::reachable() {
  auto context = this->context();
  return context && answers(**context);
}

// The provider's connection does not recover once its TPM stopped answering, so the context is
// dropped and the next use loads the provider afresh; keys from the old one keep it while they
// live.
bool TpmKeys::answers(const Context& context) {
  if (tpm_answers(context.library)) return true;
  context_.reset();
  return false;
}

TpmResult<CreatedTpmKey> TpmKeys::create_rsa_key(int bits) {
  auto context = this->context();
  if (!context) return Unexpected(context.error());
  PkeyContext generator(EVP_PKEY_CTX_new_from_name((*context)->library, "RSA", kTpmOnly));
  if (!generator || EVP_PKEY_keygen_init(generator.get()) <= 0) {
    return failure<CreatedTpmKey>(TpmFailure::kFailed);
  }
  std::size_t size = static_cast<std::size_t>(bits);
  unsigned int exponent = 65537;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_RSA_BITS, &size),
      OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_E, &exponent),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* generated = nullptr;
  if (EVP_PKEY_CTX_set_params(generator.get(), params) <= 0 ||
      EVP_PKEY_generate(generator.get(), &generated) <= 0) {
    return failure<CreatedTpmKey>(tpm_answers((*context)->library) ? TpmFailure::kFailed
                                                                   : TpmFailure::kUnreachable);
  }
  Pkey key = adopt_key(*context, generated);
  Bytes blob = encode_blob(*key);
  if (blob.empty()) return failure<CreatedTpmKey>(TpmFailure::kFailed);
  auto signer = with_signer(*context, std::move(key));
  if (!signer) return Unexpected(signer.error());
  return CreatedTpmKey{std::move(*signer), std::move(blob)};
}

TpmResult<DecodedKey> TpmKeys::load(std::span<const std::uint8_t> blob) {
  auto context = this->context();
  if (!context) return Unexpected(context.error());
  EVP_PKEY* loaded = nullptr;
  DecoderContext decoder(OSSL_DECODER_CTX_new_for_pkey(
      &loaded, "DER", nullptr, "RSA", EVP_PKEY_KEYPAIR, (*context)->library, kTpmOnly));
  const unsigned char* cursor = blob.data();
  std::size_t remaining = blob.size();
  if (!decoder || blob.empty() || OSSL_DECODER_from_data(decoder.get(), &cursor, &remaining) != 1) {
    EVP_PKEY_free(loaded);
    return failure<DecodedKey>(answers(**context) ? TpmFailure::kRefused
                                                  : TpmFailure::kUnreachable);
  }
  Pkey key = adopt_key(*context, loaded);
  // Only a key held by the TPM counts: never a software key that a blob might smuggle in.
  if (remaining != 0 || EVP_PKEY_get0_provider(key.get()) != (*context)->tpm ||
      !EVP_PKEY_is_a(key.get(), "RSA")) {
    return failure<DecodedKey>(TpmFailure::kRefused);
  }
  return with_signer(*context, std::move(key));
}

// Signatures the TPM makes are checked with the key's public half in software, like any other.
TpmResult<DecodedKey> TpmKeys::with_signer(const std::shared_ptr<Context>& context, Pkey key) {
  KeyContext sign(EVP_PKEY_CTX_new_from_pkey(context->library, key.get(), kTpmOnly));
  auto public_half = tpm_public_half(*key);
  if (!sign || !public_half) return failure<DecodedKey>(TpmFailure::kFailed);
  auto signer = make_sha256_signer(std::move(sign), **public_half, context);
  if (!signer) return failure<DecodedKey>(TpmFailure::kFailed);
  return DecodedKey{std::move(key), std::move(*signer)};
}

TpmResult<Pkey> tpm_public_half(EVP_PKEY& key) {
  BIGNUM* modulus = nullptr;
  BIGNUM* exponent = nullptr;
  const bool found = EVP_PKEY_get_bn_param(&key, OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
                     EVP_PKEY_get_bn_param(&key, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1;
  Number n(modulus);
  Number e(exponent);
  if (!found) return failure<Pkey>(TpmFailure::kFailed);
  ParamBuilder builder(OSSL_PARAM_BLD_new());
  if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    return failure<Pkey>(TpmFailure::kFailed);
  }
  Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  PkeyContext maker(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* half = nullptr;
  if (!params || !maker || EVP_PKEY_fromdata_init(maker.get()) <= 0 ||
      EVP_PKEY_fromdata(maker.get(), &half, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
    return failure<Pkey>(TpmFailure::kFailed);
  }
  return Pkey(half, EVP_PKEY_free);
}

}  // namespace ktarn::platform::software
