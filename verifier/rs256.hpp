// RS256 (RSASSA-PKCS1-v1_5 with SHA-256) verification under a device key given by its modulus,
// through OpenSSL's EVP interface. The device key's public exponent is always 65537, so only the
// modulus travels.
#pragma once

#include "base/base64.hpp"

namespace ktarn::verifier {

// True when signature is a valid RS256 signature of message under the RSA key (modulus, 65537).
// Any failure inside OpenSSL, an allocation included, counts as a signature that does not verify.
bool rs256_verifies(ktarn::ByteView modulus, ktarn::ByteView message, ktarn::ByteView signature);

}  // namespace ktarn::verifier
