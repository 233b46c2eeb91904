#include "base/crypto_library.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace ktarn {

void prepare_crypto_library() {
  [[maybe_unused]] static const bool prepared = [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
                        nullptr);
    RAND_set_DRBG_type(nullptr, "HASH-DRBG", nullptr, nullptr, "SHA256");
    return true;
  }();
}

}  // namespace ktarn
