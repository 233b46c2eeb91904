// What the software keychain's own checks on a key cost, each beside what it guards: a software
// key's signature (which the crypto library checks itself) and one checked again with the key's
// public half, as a TPM key's is, beside the raw RSA-2048 signature; and decoding a stored key
// with its consistency check (once per decoding) beside decoding alone.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <vector>

#include "bridge/platform/software/keys/rsa_key.hpp"
#include "rsa_signer.hpp"

namespace {

namespace software = ktarn::platform::software;

const software::Pkey& device_key() {
  static const software::Pkey key = *software::generate_rsa_key(2048);
  return key;
}

void raw_rsa_sign(benchmark::State& state) {
  ktarn::bench::RsaSigner signer;
  for (auto _ : state) signer.sign();
}

void software_key_sign(benchmark::State& state) {
  software::Signer signer = *software::make_sha256_signer(*device_key());
  std::vector<std::uint8_t> digest(32, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(software::sign_sha256_digest(*signer, digest));
    ++digest[0];
  }
}

// What a second check with the public half would add to every software signature.
void sign_checked_again(benchmark::State& state) {
  software::KeyContext sign(EVP_PKEY_CTX_new_from_pkey(nullptr, device_key().get(), nullptr));
  software::Signer signer = *software::make_sha256_signer(std::move(sign), *device_key(), nullptr);
  std::vector<std::uint8_t> digest(32, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(software::sign_sha256_digest(*signer, digest));
    ++digest[0];
  }
}

void raw_decode(benchmark::State& state) {
  const software::SecretBytes der = *software::encode_private_key(*device_key());
  for (auto _ : state) {
    const unsigned char* cursor = der.view().data();
    EVP_PKEY_free(
        d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der.view().size())));
  }
}

void checked_decode(benchmark::State& state) {
  const software::SecretBytes der = *software::encode_private_key(*device_key());
  for (auto _ : state) benchmark::DoNotOptimize(software::decode_rsa_private_key(der.view()));
}

}  // namespace

BENCHMARK(raw_rsa_sign);
BENCHMARK(software_key_sign);
BENCHMARK(sign_checked_again);
BENCHMARK(raw_decode);
BENCHMARK(checked_decode)->Unit(benchmark::kMillisecond);
