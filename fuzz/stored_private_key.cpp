// The keychain's reader of a stored key's DER against the crypto library's decoder. The first
// byte picks the bytes: 0, the rest as they are; 1, a 512-bit key's own PKCS #1 DER (made once)
// edited by the rest (set, insert, erase or append a byte: a kind, a two-byte place and a value
// each), so that near-misses of a real key are close at hand. Whatever the reader accepts the
// library decodes, reading every byte, to the very numbers the reader found; the library is the
// laxer of the two, so nothing is asked of it where the reader refuses.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bridge/platform/software/keys/rsa_der.hpp"
#include "fuzz_input.hpp"

namespace {

using ktarn::fuzzing::FuzzInput;
using ktarn::platform::software::kRsaPrivatePartCount;
using ktarn::platform::software::read_two_prime_private_key;

constexpr std::array<const char*, kRsaPrivatePartCount> kParts = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
    OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
    OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
};

void require(bool condition) {
  if (!condition) std::abort();
}

const std::vector<std::uint8_t>& real_key() {
  static const std::vector<std::uint8_t> der = [] {
    EVP_PKEY* key = EVP_RSA_gen(512);
    unsigned char* bytes = nullptr;
    const int length = i2d_PrivateKey(key, &bytes);
    std::vector<std::uint8_t> out(bytes, bytes + (length > 0 ? length : 0));
    OPENSSL_free(bytes);
    EVP_PKEY_free(key);
    return out;
  }();
  return der;
}

std::vector<std::uint8_t> edited(std::vector<std::uint8_t> der, FuzzInput& input) {
  while (!input.rest().empty()) {
    const std::uint8_t kind = input.byte() % 4;
    const std::size_t at = input.word() % (der.size() + 1);
    const std::uint8_t value = input.byte();
    if (kind == 0 && at < der.size()) der[at] = value;
    if (kind == 1) der.insert(der.begin() + static_cast<std::ptrdiff_t>(at), value);
    if (kind == 2 && at < der.size()) der.erase(der.begin() + static_cast<std::ptrdiff_t>(at));
    if (kind == 3) der.push_back(value);
  }
  return der;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input({data, size});
  const std::uint8_t layout = input.byte();
  const std::vector<std::uint8_t> der =
      layout % 2 == 0 ? std::vector<std::uint8_t>(input.rest().begin(), input.rest().end())
                      : edited(real_key(), input);
  const auto parts = read_two_prime_private_key(der);
  if (!parts) return 0;
  const unsigned char* cursor = der.data();
  EVP_PKEY* key = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.size()));
  require(key != nullptr && cursor == der.data() + der.size());
  for (std::size_t i = 0; i < kRsaPrivatePartCount; ++i) {
    BIGNUM* value = nullptr;
    require(EVP_PKEY_get_bn_param(key, kParts[i], &value) == 1);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(value)));
    BN_bn2bin(value, bytes.data());
    BN_clear_free(value);
    require(std::vector<std::uint8_t>((*parts)[i].begin(), (*parts)[i].end()) == bytes);
  }
  EVP_PKEY_free(key);
  return 0;
}
