// RSA keys through OpenSSL: generation with public exponent 65537, the DER forms the keychain
// stores (PKCS #1 RSAPrivateKey) and hands out (PKCS #1 RSAPublicKey), PEM import, and
// RSASSA-PKCS1-v1_5 signatures over a SHA-256 digest computed elsewhere. Private key bytes live
// only in SecretBytes, whose memory is wiped whenever it is released. Every failure is a
// keychain status code: errSecDecode for bytes that are not a sound key, errSecInternalComponent
// when OpenSSL fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

#include "base/c_handle.hpp"
#include "bridge/platform/attributes.hpp"
#include "bridge/platform/status_codes.hpp"

namespace ktarn::platform::software {

// Wipes memory before handing it back, so that every way a buffer of key bytes is released
// (destruction, assignment over it, growth) wipes what it held.
void wipe_memory(void* memory, std::size_t size);
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(std::size_t count) { return std::allocator<T>().allocate(count); }
  void deallocate(T* memory, std::size_t count) {
    wipe_memory(memory, count * sizeof(T));
    std::allocator<T>().deallocate(memory, count);
  }
  bool operator==(const WipingAllocator&) const = default;
};

// Bytes of private key material: wiped whenever their memory is released, never printed.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}

  std::span<const std::uint8_t> view() const { return bytes_; }
  bool operator==(const SecretBytes& other) const { return bytes_ == other.bytes_; }

 private:
  std::vector<std::uint8_t, WipingAllocator<std::uint8_t>> bytes_;
};

using Pkey = std::shared_ptr<EVP_PKEY>;
using KeyContext = CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
// The contexts that sign with a private key (PKCS #1 v1.5 padding, SHA-256) and, for a key whose
// arithmetic is done outside this process, check each signature with its public half; set up
// once for the key since that setup costs a noticeable share of a signature, and reused for every
// digest the key signs. The owner is whatever the contexts need alive (a provider's library
// context); it is released after them.
struct Sha256Signer {
  std::shared_ptr<const void> owner;
  KeyContext sign;
  KeyContext verify;  // none for a software key: see sign_sha256_digest
};
using Signer = std::shared_ptr<Sha256Signer>;

// A fresh RSA key of the given size with exponent 65537.
StatusOr<Pkey> generate_rsa_key(int bits);
// The canonical PKCS #1 DER (rsa_der.hpp), the form the keychain stores, of a two-prime RSA
// private key whose parts agree with each other, so that a damaged modulus, exponent, prime or CRT
// part is never used: the primes multiply to the modulus, the public exponent is odd and above
// one, the private exponent reduces to the CRT exponents, which undo the public one modulo each
// prime less one, and the CRT coefficient inverts the second prime modulo the first. The primes
// are not tested for primality: that test costs far more than decoding, and signing, while the
// key under check came from the keychain file, whose writer could store any key of its choosing
// (bench/README.md has the figures).
StatusOr<Pkey> decode_rsa_private_key(std::span<const std::uint8_t> der);
// The public numbers of an RSA key as magnitudes (big-endian, without leading zero octets): all
// that the key's attributes and the export of its public half are made of.
struct RsaPublicNumbers {
  Bytes modulus;
  Bytes exponent;
};
// The public numbers of the stored key that decode_rsa_private_key would make of der, after the
// same checks, without making the key itself: a lookup that only reads a key's attributes or
// exports its public half never needs it.
StatusOr<RsaPublicNumbers> check_rsa_private_key(std::span<const std::uint8_t> der);
// The public numbers of an RSA key (one a provider holds included); errSecInternalComponent for
// any other key.
StatusOr<RsaPublicNumbers> rsa_public_numbers(EVP_PKEY& key);
int size_in_bits(const RsaPublicNumbers& numbers);

// An RSA private key from PEM text (PKCS #1 or PKCS #8, never encrypted) whose parts agree with
// each other.
StatusOr<Pkey> read_rsa_private_key_pem(std::string_view pem);

StatusOr<SecretBytes> encode_private_key(EVP_PKEY& key);
StatusOr<Bytes> encode_public_key(EVP_PKEY& key);
int key_size_in_bits(EVP_PKEY& key);
bool is_rsa_key(EVP_PKEY& key);

// The signing contexts for an RSA private key.
StatusOr<Signer> make_sha256_signer(EVP_PKEY& key);
// The signing contexts around a context made elsewhere for a private key (one a provider holds),
// its signatures checked with public_half.
StatusOr<Signer> make_sha256_signer(KeyContext sign, EVP_PKEY& public_half,
                                    std::shared_ptr<const void> owner);
// RSASSA-PKCS1-v1_5: the SHA-256 DigestInfo of the 32-byte digest, padded to the key size. A
// signature that the key's public half does not verify is never returned: a fault in the
// private-key arithmetic must not hand out a signature that verifies under no key (and gives
// the key away). For a software key OpenSSL makes that check itself: its private-key operation
// raises the result to the public exponent modulo the modulus and compares it with the padded
// digest, and recomputes without the prime factors when they differ (RsaSignatureCheck proves it
// on keys with damaged factors). Checking again with the same numbers would repeat that work
// (bench/README.md). A TPM key's signature, made outside this process, is checked here.
StatusOr<Bytes> sign_sha256_digest(Sha256Signer& signer, std::span<const std::uint8_t> digest);

}  // namespace ktarn::platform::software
