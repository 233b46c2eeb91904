#include "base/sha256.hpp"

#include <openssl/evp.h>

#include <new>

namespace ktarn {

Sha256Digest sha256(ByteView message) {
  Sha256Digest digest;
  unsigned int length = 0;
  // With the library's built-in SHA-256 the one-shot digest fails only when it cannot allocate its
  // context; like any other allocation failure in the host, that ends the process.
  if (EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
          1 ||
      length != digest.size()) {
    throw std::bad_alloc();
  }
  return digest;
}

}  // namespace ktarn
