// RSA keys through OpenSSL: generation with public exponent 65537, the DER forms the keychain
// stores (PKCS #1 RSAPrivateKey) and hands out (PKCS #1 RSAPublicKey), PEM import, and
// RSASSA-PKCS1-v1_5 signatures over a SHA-256 digest computed elsewhere. Private key bytes live
// only in SecretBytes, which wipes them when it goes away.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <openssl/types.h>

#include "bridge/platform/attributes.hpp"

namespace ktarn::platform::software {

// Bytes of private key material: wiped on destruction, never printed.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  SecretBytes(const SecretBytes&) = default;
  SecretBytes& operator=(const SecretBytes&) = default;
  SecretBytes(SecretBytes&&) noexcept = default;
  SecretBytes& operator=(SecretBytes&&) noexcept = default;
  ~SecretBytes();

  std::span<const std::uint8_t> view() const { return bytes_; }
  bool operator==(const SecretBytes& other) const { return bytes_ == other.bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

using Pkey = std::shared_ptr<EVP_PKEY>;
// A signing context set up once for a private key (PKCS #1 v1.5 padding, SHA-256), since that
// setup costs a noticeable share of a signature; it is reused for every digest the key signs.
using Signer = std::shared_ptr<EVP_PKEY_CTX>;

// A fresh RSA key of the given size with exponent 65537; none when OpenSSL fails.
Pkey generate_rsa_key(int bits);
// The PKCS #1 or PKCS #8 DER of an RSA private key; none when it is anything else.
Pkey decode_rsa_private_key(std::span<const std::uint8_t> der);
// An RSA private key from PEM text (PKCS #1 or PKCS #8, never encrypted); none otherwise.
Pkey read_rsa_private_key_pem(std::string_view pem);

SecretBytes encode_private_key(EVP_PKEY& key);
Bytes encode_public_key(EVP_PKEY& key);
int key_size_in_bits(EVP_PKEY& key);

// The signing context for an RSA private key; none when OpenSSL cannot set it up.
Signer make_sha256_signer(EVP_PKEY& key);
// RSASSA-PKCS1-v1_5: the SHA-256 DigestInfo of the 32-byte digest, padded to the key size.
std::optional<Bytes> sign_sha256_digest(EVP_PKEY_CTX& signer, std::span<const std::uint8_t> digest);

}  // namespace ktarn::platform::software
