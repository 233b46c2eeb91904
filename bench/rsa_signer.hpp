// The raw RSA-2048 signature every "sign" figure is measured against: PKCS #1 v1.5 over a SHA-256
// digest with OpenSSL, on a key made at construction (or handed over), with nothing else around
// it.
#pragma once

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstddef>

namespace ktarn::bench {

class RsaSigner {
 public:
  RsaSigner() : RsaSigner(EVP_RSA_gen(2048)) {}
  // Signs with the key, which it takes over.
  explicit RsaSigner(EVP_PKEY* key) : key_(key), context_(EVP_PKEY_CTX_new(key_, nullptr)) {
    EVP_PKEY_sign_init(context_);
    EVP_PKEY_CTX_set_rsa_padding(context_, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(context_, EVP_sha256());
  }
  RsaSigner(const RsaSigner&) = delete;
  RsaSigner& operator=(const RsaSigner&) = delete;
  ~RsaSigner() {
    EVP_PKEY_CTX_free(context_);
    EVP_PKEY_free(key_);
  }

  // One signature, over a digest that changes every time.
  void sign() {
    sign(digest_);
    ++digest_[0];
  }
  // One signature over a 32-byte digest.
  void sign(const unsigned char* digest) {
    std::size_t length = sizeof signature_;
    EVP_PKEY_sign(context_, signature_, &length, digest, sizeof digest_);
  }

 private:
  EVP_PKEY* key_;
  EVP_PKEY_CTX* context_;
  unsigned char digest_[32] = {1, 2, 3};
  unsigned char signature_[256] = {};
};

}  // namespace ktarn::bench
