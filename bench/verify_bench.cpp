// The verifier's cost beside its floor: verify_signature on a parsed key and sign result, against
// OpenSSL's own RS256 verification of the same payload bytes and signature under a key built once
// (digest context, initialisation and verification each time, as a caller of EVP would). Two
// payloads: a challenge as relying parties see it, and the largest payload the companion signs.
// The signatures are made at start with the verifier's test-only keys. A third figure has two
// devices taking turns, so that the key is built from its JWK on every call; its floor is OpenSSL
// building each call's key from the stored public half in the same way.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <cstdio>
#include <iomanip>
#include <memory>
#include <string>

#include "base/base64.hpp"
#include "base/sha256.hpp"
#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "ratio_reporter.hpp"
#include "verifier/verify_signature.hpp"

namespace {

using ktarn::json::JsonValue;

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

Key load_key(const char* path) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path, "r"), &std::fclose);
  return Key(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
}

const Key& private_key() {
  static const Key key = load_key(KTARN_TEST_KEY_DIR "/test-only-device-key.pem");
  return key;
}

const Key& other_private_key() {
  static const Key key = load_key(KTARN_TEST_KEY_DIR "/test-only-other-key.pem");
  return key;
}

std::string sign(std::string_view message, const Key& key = private_key()) {
  const DigestContext context(EVP_MD_CTX_new());
  std::string signature(256, '\0');
  std::size_t size = signature.size();
  EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get());
  EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                 reinterpret_cast<const unsigned char*>(message.data()), message.size());
  return signature;
}

std::string url(std::string_view bytes) {
  return ktarn::base64url_encode(ktarn::as_bytes(bytes));
}

JsonValue parse(const std::string& text) {
  return std::move(*ktarn::json::parse_json(text));
}

struct Shape {
  std::string payload;  // canonical
  std::string signature;
  JsonValue sign_result;
};

Shape shape(std::size_t pad) {
  const std::string payload =
      R"({"audience":"ktarn-sealed-browser","nonce":"bm9uY2UtMDAwMQ","pad":")" +
      std::string(pad, 'x') + R"(","protocol":1,"purpose":"challenge"})";
  Shape s{payload, sign(payload), {}};
  s.sign_result =
      parse(R"({"payload":")" + url(payload) + R"(","signature":")" + url(s.signature) + "\"}");
  return s;
}

const Shape& challenge() {
  static const Shape s = shape(0);
  return s;
}
const Shape& largest() {
  static const Shape s = shape(32768 - shape(0).payload.size());
  return s;
}

BIGNUM* modulus_of(const Key& key) {
  BIGNUM* n = nullptr;
  EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n);
  return n;
}

JsonValue jwk_of(const Key& key) {
  BIGNUM* n = modulus_of(key);
  std::string modulus(256, '\0');
  BN_bn2binpad(n, reinterpret_cast<unsigned char*>(modulus.data()), 256);
  BN_free(n);
  const std::string n_text = url(modulus);
  const std::string key_id =
      ktarn::base64url_encode(ktarn::sha256(ktarn::as_bytes(n_text + ":AQAB")));
  return parse(R"({"alg":"RS256","attested":false,"e":"AQAB","keyId":")" + key_id +
               R"(","kty":"RSA","n":")" + n_text + R"(","protection":"software-provider"})");
}

const JsonValue& jwk() {
  static const JsonValue key = jwk_of(private_key());
  return key;
}

void verify_signature(benchmark::State& state, const Shape& (*which)()) {
  const Shape& s = which();
  const std::string key_id(*ktarn::json::find_member(jwk(), "keyId")->as_string());
  const ktarn::verifier::Expectations expected{"challenge", "bm9uY2UtMDAwMQ", key_id};
  for (auto _ : state) {
    auto verified = ktarn::verifier::verify_signature(jwk(), s.sign_result, expected);
    if (!verified) state.SkipWithError("refused");
    benchmark::DoNotOptimize(verified);
  }
}

// Two devices taking turns, so that every call builds its key from the JWK again.
void verify_signature_alternating(benchmark::State& state) {
  const Shape& first = challenge();
  const JsonValue other_jwk = jwk_of(other_private_key());
  const JsonValue other_result =
      parse(R"({"payload":")" + url(first.payload) + R"(","signature":")" +
            url(sign(first.payload, other_private_key())) + "\"}");
  const ktarn::verifier::Expectations expected{"challenge", "bm9uY2UtMDAwMQ", std::nullopt};
  bool turn = false;
  for (auto _ : state) {
    turn = !turn;
    auto verified = ktarn::verifier::verify_signature(
        turn ? jwk() : other_jwk, turn ? first.sign_result : other_result, expected);
    if (!verified) state.SkipWithError("refused");
    benchmark::DoNotOptimize(verified);
  }
}

// The public half alone, as a relying party holds it.
Key public_half(const Key& key) {
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(key.get(), &der);
  const unsigned char* cursor = der;
  Key half(d2i_PUBKEY(nullptr, &cursor, size));
  OPENSSL_free(der);
  return half;
}

// A public key built from its modulus and exponent 65537 by OpenSSL's own import, the numbers a
// relying party reads from a device's enrolled key.
Key key_from(const BIGNUM* modulus) {
  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, modulus);
  OSSL_PARAM_BLD_push_ulong(builder, OSSL_PKEY_PARAM_RSA_E, 65537);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(context);
  EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(builder);
  return Key(key);
}

bool openssl_verify(const Key& key, const std::string& payload, const std::string& signature) {
  const DigestContext context(EVP_MD_CTX_new());
  return EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(payload.data()),
                          payload.size()) == 1;
}

void openssl_rs256(benchmark::State& state, const Shape& (*which)()) {
  const Shape& s = which();
  const Key key = public_half(private_key());
  for (auto _ : state) {
    if (!openssl_verify(key, s.payload, s.signature)) state.SkipWithError("refused");
  }
}

// The same two devices taking turns: OpenSSL, too, builds each call's key from the device's
// numbers, since a relying party serving many devices holds no built key between their requests.
void openssl_rs256_alternating(benchmark::State& state) {
  const Shape& s = challenge();
  BIGNUM* moduli[] = {modulus_of(private_key()), modulus_of(other_private_key())};
  const std::string signatures[] = {s.signature, sign(s.payload, other_private_key())};
  std::size_t turn = 0;
  for (auto _ : state) {
    turn ^= 1;
    if (!openssl_verify(key_from(moduli[turn]), s.payload, signatures[turn])) {
      state.SkipWithError("refused");
    }
  }
  for (BIGNUM* n : moduli) BN_free(n);
}

// Each figure beside its floor; the two-key figure is also shown against the one-key floor, which
// leaves out building the key.
void print_ratios(std::ostream& out, const ktarn::bench::CpuTimes& times) {
  static constexpr std::pair<const char*, const char*> kPairs[] = {
      {"challenge", "challenge"},
      {"challenge_two_keys", "challenge_two_keys"},
      {"challenge_two_keys", "challenge"},
      {"largest", "largest"}};
  out << "\nverify_signature / OpenSSL's RS256 verification, same run (target <= 1.5x):\n";
  for (const auto& [shape, floor_shape] : kPairs) {
    const auto ours = times.ns(std::string("verify_signature/") + shape);
    const auto floor = times.ns(std::string("openssl_rs256/") + floor_shape);
    if (!ours || !floor) continue;
    out << "  " << shape << " (floor " << floor_shape << "): " << std::fixed << std::setprecision(1)
        << *ours / 1000 << " us vs " << *floor / 1000 << " us -> " << std::setprecision(2)
        << *ours / *floor << "x\n";
  }
}

}  // namespace

BENCHMARK_CAPTURE(verify_signature, challenge, &challenge);
BENCHMARK_CAPTURE(openssl_rs256, challenge, &challenge);
BENCHMARK(verify_signature_alternating)->Name("verify_signature/challenge_two_keys");
BENCHMARK(openssl_rs256_alternating)->Name("openssl_rs256/challenge_two_keys");
BENCHMARK_CAPTURE(verify_signature, largest, &largest);
BENCHMARK_CAPTURE(openssl_rs256, largest, &largest);

int main(int argc, char** argv) {
  return ktarn::bench::run_with_ratios(argc, argv, print_ratios);
}
