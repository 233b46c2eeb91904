// RSA keys that live inside a TPM 2.0, loaded and used only through OpenSSL's tpm2 provider. The
// provider and OpenSSL's default provider are loaded into a library context of their own, on first
// use, so the rest of the process keeps OpenSSL's default context untouched. The TPM reached is
// the kernel's resource manager unless the provider's TCTI variable (TPM2OPENSSL_TCTI) names
// another; an empty variable counts as unset. Nothing the TPM stack's libraries log reaches
// standard error. Every TPM call has a bound; one that does not return within it is cut (its
// sockets shut down by a watchdog thread, the only thread this adds, which never calls into the
// provider) and fails as if no TPM answered. A connection found dead is made again once, within
// the same call, before the call fails. A TPM key's stored form is the provider's TPM-wrapped
// blob (the DER "TSS2 PRIVATE KEY" structure): the private half in it is encrypted under a key
// that never leaves the TPM that made it, so the blob is useless on any other TPM, or on the same
// one after it was cleared. New keys are exempt from the TPM's dictionary-attack lockout, which
// guards nothing for a key with an empty authorisation yet would stop it after a few unorderly
// TPM restarts: the provider cannot set that attribute, so a key is made with the TPM stack's own
// connection, opened beside the provider's (tss_key_creation.hpp), in the form the provider
// stores, and the provider then loads it as any stored key. Keys made before, without the
// exemption, load and sign as they did, and report lockout as kLockedOut.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
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
  kNoRoom,       // the TPM has no free slot for another loaded key now; the key itself is sound
  kLockedOut,    // the TPM refuses keys under dictionary-attack protection for a while
};

// How long a TPM call may take before it is cut: making a key takes a slow hardware TPM tens of
// seconds, anything else well under a second.
struct TpmBounds {
  std::chrono::milliseconds creation{std::chrono::seconds(120)};
  std::chrono::milliseconds call{std::chrono::seconds(30)};
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

// A signature, and the key loaded again to make it when the one asked for had lost its TPM.
struct TpmSignature {
  Bytes signature;
  std::optional<DecodedKey> reloaded;
};

// One library context holding the tpm2 provider. Keys and signing contexts it hands out keep that
// context alive for as long as they live, so they may outlive this object. A key loaded into the
// TPM holds one of its few transient object slots until the key is released.
class TpmKeys {
 public:
  TpmKeys();
  explicit TpmKeys(TpmBounds bounds);
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
  // A signature over the SHA-256 digest with the signer of a key from create_rsa_key or load.
  // When that key's connection is found dead, the blob it was stored as is loaded once more into
  // a fresh connection and signs; that key comes back too, to be kept in place of the old one.
  TpmResult<TpmSignature> sign(Sha256Signer& signer, std::span<const std::uint8_t> blob,
                               std::span<const std::uint8_t> digest);

 private:
  struct Context;
  class Watchdog;
  // Runs a TPM call under the bound, `expire` cutting it when the bound has passed; whether the
  // call was cut.
  bool bounded(std::chrono::milliseconds bound, std::function<void()> expire,
               const std::function<void()>& call);
  bool bounded(const Context& context, std::chrono::milliseconds bound,
               const std::function<void()>& call);
  TpmResult<std::shared_ptr<Context>> context();
  bool answers(const Context& context);
  TpmFailure failure_of(const Context& context, bool cut, TpmFailure otherwise);
  TpmFailure judged(const Context& context, bool cut, std::optional<TpmFailure> said,
                    TpmFailure otherwise);
  template <class T>
  TpmResult<T> reconnecting(
      const std::function<TpmResult<T>(const std::shared_ptr<Context>&)>& call);
  TpmResult<CreatedTpmKey> create_in(const std::shared_ptr<Context>& context, int bits);
  TpmResult<DecodedKey> load_in(const std::shared_ptr<Context>& context,
                                std::span<const std::uint8_t> blob);
  static TpmResult<DecodedKey> with_signer(const std::shared_ptr<Context>& context, Pkey key);

  TpmBounds bounds_;
  std::unique_ptr<Watchdog> watchdog_;
  std::shared_ptr<Context> context_;
  bool cut_ = false;  // whether the last bounded call was cut
};

// The public half of a TPM key as an ordinary OpenSSL key of the default context, which encodes,
// verifies and compares like any software key's public half; kFailed when the TPM key has no RSA
// modulus or exponent to give.
TpmResult<Pkey> tpm_public_half(EVP_PKEY& key);

}  // namespace ktarn::platform::software
