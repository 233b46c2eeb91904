// The host's own share of "key" and "sign", with the bridge answering at once from memory: the
// SHA-256 digest, strict Base64 beside OpenSSL's routines on the same bytes, and the two
// operations end to end on the host side (bridge client, DER validation and JWK; signing context,
// canonical write, digest and signature decoding). The RSA work itself is the bridge's and is
// measured by process_bench.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/base64.hpp"
#include "base/sha256.hpp"
#include "json/parse_json.hpp"
#include "macos/public_key_export.hpp"
#include "macos/request_signing.hpp"

namespace {

using ktarn::Bytes;

Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
  return bytes;
}

// The 270-byte DER of an RSA-2048 public key with exponent 65537.
Bytes device_key_der() {
  Bytes der = {0x30, 0x82, 0x01, 0x0A, 0x02, 0x82, 0x01, 0x01, 0x00};
  Bytes modulus = pattern(256);
  modulus[0] |= 0x80;
  der.insert(der.end(), modulus.begin(), modulus.end());
  der.insert(der.end(), {0x02, 0x03, 0x01, 0x00, 0x01});
  return der;
}

const std::string kKeyReply =
    R"({"ok":true,"result":{"publicDer":")" + ktarn::base64_encode(device_key_der()) + "\"}}";
const std::string kSignReply =
    R"({"ok":true,"result":{"signature":")" + ktarn::base64_encode(pattern(256)) + "\"}}";

// A bridge that answers every call with a copy of the reply its operation word selects.
char* answer_from_memory(const char*, const char* operation, const char*) {
  const std::string& reply = std::strcmp(operation, "key") == 0 ? kKeyReply : kSignReply;
  char* buffer = static_cast<char*>(std::malloc(reply.size() + 1));
  std::memcpy(buffer, reply.c_str(), reply.size() + 1);
  return buffer;
}
void release(char* buffer) {
  std::free(buffer);
}
constexpr ktarn::macos::BridgeFunctions kMemoryBridge{&answer_from_memory, &release};

void sha256(benchmark::State& state) {
  const Bytes message = pattern(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(ktarn::sha256(message));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// A signature's worth of bytes, as it crosses the bridge boundary.
void base64_decode_strict(benchmark::State& state) {
  const std::string text = ktarn::base64_encode(pattern(256));
  for (auto _ : state) benchmark::DoNotOptimize(ktarn::base64_decode_strict(text));
}

void openssl_base64_decode(benchmark::State& state) {
  const std::string text = ktarn::base64_encode(pattern(256));
  unsigned char bytes[258];
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_DecodeBlock(
        bytes, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())));
  }
}

// A signature's worth of bytes, and the largest canonical payload the companion signs, which
// its answer carries as text.
void base64url_encode(benchmark::State& state) {
  const Bytes bytes = pattern(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(ktarn::base64url_encode(bytes));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void openssl_base64_encode(benchmark::State& state) {
  const Bytes bytes = pattern(static_cast<std::size_t>(state.range(0)));
  std::vector<unsigned char> text((bytes.size() + 2) / 3 * 4 + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_EncodeBlock(text.data(), bytes.data(), static_cast<int>(bytes.size())));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void export_public_key(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ktarn::macos::export_public_key("kTARN.Bench", kMemoryBridge));
  }
}

void sign_request(benchmark::State& state) {
  const auto request = ktarn::json::parse_json(
      R"({"id":"b","type":"sign","payload":{"audience":"ktarn-sealed-browser",)"
      R"("nonce":"n-0123456789","protocol":1,"purpose":"request"}})");
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ktarn::macos::sign_request("kTARN.Bench", *request, std::nullopt, kMemoryBridge));
  }
}

}  // namespace

BENCHMARK(sha256)->Arg(64)->Arg(1024)->Arg(32768);
BENCHMARK(base64_decode_strict);
BENCHMARK(openssl_base64_decode);
BENCHMARK(base64url_encode)->Arg(256)->Arg(32768);
BENCHMARK(openssl_base64_encode)->Arg(256)->Arg(32768);
BENCHMARK(export_public_key);
BENCHMARK(sign_request);
