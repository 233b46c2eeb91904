// RS256 verification under moduli that change from call to call: the key kept from the last call
// must never stand in for another.
#include "verifier/rs256.hpp"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <string>

namespace ktarn::verifier {
namespace {

struct SigningKey {
  ktarn::Bytes modulus;
  ktarn::Bytes signature;  // over kMessage
};

constexpr std::string_view kMessage = R"({"audience":"ktarn-sealed-browser"})";

SigningKey load(const std::string& name) {
  const std::string path = KTARN_SOURCE_DIR "/verifier/vectors/" + name;
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), &std::fclose);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr, &EVP_PKEY_free);
  EXPECT_TRUE(key) << path;
  SigningKey result{ktarn::Bytes(256), ktarn::Bytes(256)};
  BIGNUM* n = nullptr;
  EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n);
  BN_bn2binpad(n, result.modulus.data(), 256);
  BN_free(n);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  std::size_t size = result.signature.size();
  EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get());
  EVP_DigestSign(context.get(), result.signature.data(), &size,
                 reinterpret_cast<const unsigned char*>(kMessage.data()), kMessage.size());
  return result;
}

TEST(Rs256, EachSignatureVerifiesUnderItsOwnModulusOnly) {
  const SigningKey device = load("test-only-device-key.pem");
  const SigningKey other = load("test-only-other-key.pem");
  const ktarn::ByteView message = ktarn::as_bytes(kMessage);
  struct Call {
    const SigningKey& modulus_of;
    const SigningKey& signed_by;
  };
  // Every change of modulus, in both directions and repeated.
  const Call calls[] = {{device, device}, {device, other}, {other, device}, {other, other},
                        {device, device}, {other, other},  {device, other}, {device, device}};
  for (const Call& call : calls) {
    const bool same = &call.modulus_of == &call.signed_by;
    EXPECT_EQ(rs256_verifies(call.modulus_of.modulus, message, call.signed_by.signature), same);
  }
  ktarn::Bytes tampered = device.signature;
  tampered[0] ^= 1;
  EXPECT_FALSE(rs256_verifies(device.modulus, message, tampered));
  EXPECT_FALSE(rs256_verifies(ktarn::Bytes(255, 0xff), message, device.signature));
  EXPECT_TRUE(rs256_verifies(device.modulus, message, device.signature));
}

}  // namespace
}  // namespace ktarn::verifier
