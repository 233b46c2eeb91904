// RSA keys that live inside a TPM 2.0, reached only through OpenSSL's tpm2 provider. The provider
// and OpenSSL's default provider are loaded into a library context of their own, on first use, so
// the rest of the process keeps OpenSSL's default context untouched. Which TPM is reached is the
// TSS's own choice: the kernel's resource manager unless the provider's TCTI variable
// (TPM2OPENSSL_TCTI) names another. A TPM key's stored form is the provider's TPM-wrapped blob
// (the DER "TSS2 PRIVATE KEY" structure): the private half in it is encrypted under a key that
// never leaves the TPM that made it, so the blob is useless on any other TPM, or on the same one
// after it was cleared.
#pragma once

#include <memory>
#include <span>

#include "base/expected.hpp"
#include "bridge/platform/keychain.hpp"
#include "bridge/platform/software/keys/decoded_key_cache.hpp"

namespace ktarn::platform::software {

// Why a TPM key could not be made or used.
enum class TpmFailure {
  kUnreachable,  // no TPM answers now: none on this machine, or none that this user may reach
  kRefused,      // the TPM will not load the blob: another TPM's key, a cleared TPM, not a TPM key
  kFailed,       // the provider failed to generate, encode or use a key
};

// The keychain status code a TPM failure is reported with.
OSStatus status_from_tpm_failure(TpmFailure failure);

template <class T>
using TpmResult = Expected<T, TpmFailure>;

// A key made inside the TPM: the key with its signing context, and the blob to store for loading
// it again.
struct CreatedTpmKey {
  DecodedKey key;
  Bytes blob;
};

// One library context holding the tpm2 provider. Keys and signing contexts it hands out keep that
// context alive for as long as they live, so they may outlive this object. A key loaded into the
// TPM holds one of its few transient object slots until the key is released.
class TpmKeys {
 public:
  TpmKeys();
  ~TpmKeys();
  TpmKeys(TpmKeys&&) noexcept;
  TpmKeys& operator=(TpmKeys&&) noexcept;

  // Whether a TPM answers now. Loads the provider when that has not succeeded yet, and asks the
  // TPM for a few random bytes, the cheapest command that proves it answers.
  bool reachable();
  // A new RSA key of the given size, exponent 65537, generated inside the TPM.
  TpmResult<CreatedTpmKey> create_rsa_key(int bits);
  // The key a blob from create_rsa_key stands for, loaded into the TPM, with its signing context
  // (PKCS #1 v1.5 padding, SHA-256) for sign_sha256_digest.
  TpmResult<DecodedKey> load(std::span<const std::uint8_t> blob);

 private:
  struct Context;
  TpmResult<std::shared_ptr<Context>> context();
  bool answers(const Context& context);
  static TpmResult<DecodedKey> with_signer(const std::shared_ptr<Context>& context, Pkey key);

  std::shared_ptr<Context> context_;
};

// The public half of a TPM key as an ordinary OpenSSL key of the default context, which encodes,
// verifies and compares like any software key's public half; kFailed when the TPM key has no RSA
// modulus or exponent to give.
TpmResult<Pkey> tpm_public_half(EVP_PKEY& key);

}  // namespace ktarn::platform::software
