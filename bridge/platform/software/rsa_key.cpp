#include "bridge/platform/software/rsa_key.hpp"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace ktarn::platform::software {

namespace {

Pkey adopt(EVP_PKEY* key) {
  if (key == nullptr) return nullptr;
  return Pkey(key, EVP_PKEY_free);
}

using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

// Refuses every passphrase request, so an encrypted PEM fails instead of prompting.
int no_passphrase(char*, int, int, void*) {
  return -1;
}

bool is_rsa(const Pkey& key) {
  return key && EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA;
}

}  // namespace

SecretBytes::~SecretBytes() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
}

Pkey generate_rsa_key(int bits) {
  PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  if (!context || EVP_PKEY_keygen_init(context.get()) <= 0) return nullptr;
  unsigned int size = static_cast<unsigned int>(bits);
  unsigned int exponent = 65537;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_BITS, &size),
      OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_E, &exponent),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_CTX_set_params(context.get(), params) <= 0 ||
      EVP_PKEY_generate(context.get(), &key) <= 0) {
    return nullptr;
  }
  return adopt(key);
}

Pkey decode_rsa_private_key(std::span<const std::uint8_t> der) {
  if (der.empty() || der.size() > 1 << 16) return nullptr;
  const unsigned char* cursor = der.data();
  Pkey key = adopt(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size())));
  // Trailing bytes mean the stored item is not the key it claims to be.
  if (!is_rsa(key) || cursor != der.data() + der.size()) return nullptr;
  return key;
}

Pkey read_rsa_private_key_pem(std::string_view pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> input(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  if (!input) return nullptr;
  Pkey key = adopt(PEM_read_bio_PrivateKey(input.get(), nullptr, no_passphrase, nullptr));
  return is_rsa(key) ? key : nullptr;
}

SecretBytes encode_private_key(EVP_PKEY& key) {
  unsigned char* der = nullptr;
  int length = i2d_PrivateKey(&key, &der);
  if (length <= 0) return SecretBytes();
  SecretBytes bytes(std::vector<std::uint8_t>(der, der + length));
  OPENSSL_clear_free(der, static_cast<std::size_t>(length));
  return bytes;
}

Bytes encode_public_key(EVP_PKEY& key) {
  unsigned char* der = nullptr;
  int length = i2d_PublicKey(&key, &der);
  if (length <= 0) return Bytes();
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

int key_size_in_bits(EVP_PKEY& key) {
  return EVP_PKEY_get_bits(&key);
}

Signer make_sha256_signer(EVP_PKEY& key) {
  Signer signer(EVP_PKEY_CTX_new_from_pkey(nullptr, &key, nullptr), EVP_PKEY_CTX_free);
  if (!signer || EVP_PKEY_sign_init(signer.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(signer.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_signature_md(signer.get(), EVP_sha256()) <= 0) {
    return nullptr;
  }
  return signer;
}

std::optional<Bytes> sign_sha256_digest(EVP_PKEY_CTX& signer,
                                        std::span<const std::uint8_t> digest) {
  int size = EVP_PKEY_get_size(EVP_PKEY_CTX_get0_pkey(&signer));
  if (size <= 0) return std::nullopt;
  Bytes signature(static_cast<std::size_t>(size));
  std::size_t length = signature.size();
  if (EVP_PKEY_sign(&signer, signature.data(), &length, digest.data(), digest.size()) <= 0) {
    return std::nullopt;
  }
  signature.resize(length);
  return signature;
}

}  // namespace ktarn::platform::software
