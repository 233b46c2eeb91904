#include "base/sha256.hpp"

#include <openssl/evp.h>

#include <new>

#include "base/crypto_library.hpp"

namespace ktarn {

namespace {

// The library's implementation, fetched once and kept for the life of the process: a one-shot
// digest named by EVP_sha256() would look it up again on every call, which costs about what
// hashing a request's payload does.
const EVP_MD* sha256_implementation() {
  static EVP_MD* const fetched = [] {
    prepare_crypto_library();
    return EVP_MD_fetch(nullptr, "SHA256", nullptr);
  }();
  return fetched;
}

}  // namespace

Sha256Digest sha256(ByteView message) {
  Sha256Digest digest;
  unsigned int length = 0;
  // With the library's built-in SHA-256 the one-shot digest fails only when it cannot allocate its
  // context (or, once, the implementation); like any other allocation failure in the host, that
  // ends the process.
  const EVP_MD* implementation = sha256_implementation();
  if (implementation == nullptr ||
      EVP_Digest(message.data(), message.size(), digest.data(), &length, implementation, nullptr) !=
          1 ||
      length != digest.size()) {
    throw std::bad_alloc();
  }
  return digest;
}

}  // namespace ktarn
