#include "bridge/platform/software/keys/rsa_key.hpp"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace ktarn::platform::software {

namespace {

// A key OpenSSL handed over, or the status when it handed none.
StatusOr<Pkey> adopt(EVP_PKEY* key, OSStatus status) {
  if (key == nullptr) return Unexpected(status);
  return Pkey(key, EVP_PKEY_free);
}

// Refuses every passphrase request, so an encrypted PEM fails instead of prompting.
int no_passphrase(char*, int, int, void*) {
  return -1;
}

KeyContext context_for(EVP_PKEY& key) {
  return KeyContext(EVP_PKEY_CTX_new_from_pkey(nullptr, &key, nullptr));
}

// An RSA key whose modulus, exponents and primes fit together. The check costs far more than a
// signature, which is why a decoded key is kept rather than decoded again.
StatusOr<Pkey> sound_rsa(StatusOr<Pkey> key) {
  if (!key) return key;
  if (!is_rsa_key(**key)) return Unexpected(errSecDecode);
  KeyContext context = context_for(**key);
  if (!context || EVP_PKEY_pairwise_check(context.get()) != 1) return Unexpected(errSecDecode);
  return key;
}

bool set_sha256_padding(EVP_PKEY_CTX& context) {
  return EVP_PKEY_CTX_set_rsa_padding(&context, RSA_PKCS1_PADDING) > 0 &&
         EVP_PKEY_CTX_set_signature_md(&context, EVP_sha256()) > 0;
}

// The contexts set up for SHA-256 with PKCS #1 v1.5 padding.
StatusOr<Signer> prepared(Sha256Signer contexts) {
  auto signer = std::make_shared<Sha256Signer>(std::move(contexts));
  if (!signer->sign || EVP_PKEY_sign_init(signer->sign.get()) <= 0 ||
      !set_sha256_padding(*signer->sign)) {
    return Unexpected(errSecInternalComponent);
  }
  if (signer->verify &&
      (EVP_PKEY_verify_init(signer->verify.get()) <= 0 || !set_sha256_padding(*signer->verify))) {
    return Unexpected(errSecInternalComponent);
  }
  return signer;
}

}  // namespace

void wipe_memory(void* memory, std::size_t size) {
  if (size != 0) OPENSSL_cleanse(memory, size);
}

StatusOr<Pkey> generate_rsa_key(int bits) {
  KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!context || EVP_PKEY_keygen_init(context.get()) <= 0) {
    return Unexpected(errSecInternalComponent);
  }
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
    return Unexpected(errSecInternalComponent);
  }
  return adopt(key, errSecInternalComponent);
}

StatusOr<Pkey> decode_rsa_private_key(std::span<const std::uint8_t> der) {
  if (der.empty() || der.size() > 1 << 16) return Unexpected(errSecDecode);
  const unsigned char* cursor = der.data();
  auto key = adopt(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size())),
                   errSecDecode);
  // Trailing bytes mean the stored item is not the key it claims to be.
  if (key && cursor != der.data() + der.size()) return Unexpected(errSecDecode);
  return sound_rsa(std::move(key));
}

StatusOr<Pkey> read_rsa_private_key_pem(std::string_view pem) {
  const CHandle<BIO, BIO_free> input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!input) return Unexpected(errSecInternalComponent);
  return sound_rsa(
      adopt(PEM_read_bio_PrivateKey(input.get(), nullptr, no_passphrase, nullptr), errSecDecode));
}

StatusOr<SecretBytes> encode_private_key(EVP_PKEY& key) {
  unsigned char* der = nullptr;
  int length = i2d_PrivateKey(&key, &der);
  if (length <= 0) return Unexpected(errSecInternalComponent);
  SecretBytes bytes(std::span<const std::uint8_t>(der, static_cast<std::size_t>(length)));
  OPENSSL_clear_free(der, static_cast<std::size_t>(length));
  return bytes;
}

StatusOr<Bytes> encode_public_key(EVP_PKEY& key) {
  unsigned char* der = nullptr;
  int length = i2d_PublicKey(&key, &der);
  if (length <= 0) return Unexpected(errSecInternalComponent);
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

int key_size_in_bits(EVP_PKEY& key) {
  return EVP_PKEY_get_bits(&key);
}

bool is_rsa_key(EVP_PKEY& key) {
  // Asked by name, so that a key a provider holds (a TPM key) answers like a software one.
  return EVP_PKEY_is_a(&key, "RSA") == 1;
}

StatusOr<Signer> make_sha256_signer(EVP_PKEY& key) {
  // Braced, since clang does not yet build an aggregate from parentheses.
  return prepared(Sha256Signer{nullptr, context_for(key), nullptr});
}

StatusOr<Signer> make_sha256_signer(KeyContext sign, EVP_PKEY& public_half,
                                    std::shared_ptr<const void> owner) {
  KeyContext verify = context_for(public_half);
  if (!verify) return Unexpected(errSecInternalComponent);
  return prepared(Sha256Signer{std::move(owner), std::move(sign), std::move(verify)});
}

StatusOr<Bytes> sign_sha256_digest(Sha256Signer& signer, std::span<const std::uint8_t> digest) {
  int size = EVP_PKEY_get_size(EVP_PKEY_CTX_get0_pkey(signer.sign.get()));
  if (size <= 0) return Unexpected(errSecInternalComponent);
  Bytes signature(static_cast<std::size_t>(size));
  std::size_t length = signature.size();
  if (EVP_PKEY_sign(signer.sign.get(), signature.data(), &length, digest.data(), digest.size()) <=
      0) {
    return Unexpected(errSecInternalComponent);
  }
  if (signer.verify && EVP_PKEY_verify(signer.verify.get(), signature.data(), length, digest.data(),
                                       digest.size()) != 1) {
    return Unexpected(errSecInternalComponent);
  }
  signature.resize(length);
  return signature;
}

}  // namespace ktarn::platform::software
