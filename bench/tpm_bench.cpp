// Keys inside a software TPM started for the run (swtpm), reached through OpenSSL's tpm2 provider:
// the provider's own signing rate with a loaded key (one EVP_PKEY_sign per digest, nothing of the
// keychain around it), which is the floor for "sign" with a TPM key, beside "sign" one request at
// a time through the companion whose keychain keeps its key in the same TPM; loading a stored
// blob into the TPM; and creating an RSA-2048 key in the TPM beside creating one in software.
// Skipped with a note when swtpm or the provider is not installed.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <string>

#include "bridge/platform/software/keys/tpm_key.hpp"
#include "child_process.hpp"
#include "support/software_tpm.hpp"

namespace {

using ktarn::platform::Bytes;
using ktarn::platform::software::CreatedTpmKey;
using ktarn::platform::software::TpmKeys;

const Bytes kDigest(32, 0x3c);

// One TPM for the whole run, and one key made in it.
struct Fixture {
  Fixture() {
    if (!missing.empty()) return;
    tpm = std::make_unique<ktarn::testing::SoftwareTpm>();
    tcti = std::make_unique<ktarn::testing::ScopedTcti>(tpm->tcti());
    if (auto made = keys.create_rsa_key(2048)) created.emplace(std::move(*made));
  }
  std::string missing = ktarn::testing::software_tpm_missing();
  std::unique_ptr<ktarn::testing::SoftwareTpm> tpm;
  std::unique_ptr<ktarn::testing::ScopedTcti> tcti;
  TpmKeys keys;
  std::optional<CreatedTpmKey> created;
};

Fixture& fixture() {
  static Fixture shared;
  return shared;
}

bool ready(benchmark::State& state) {
  if (!fixture().missing.empty()) {
    state.SkipWithError(("no software TPM: " + fixture().missing).c_str());
    return false;
  }
  if (!fixture().created) {
    state.SkipWithError("the software TPM made no key");
    return false;
  }
  return true;
}

void tpm_provider_sign(benchmark::State& state) {
  if (!ready(state)) return;
  ktarn::platform::software::Sha256Signer& signer = *fixture().created->key.signer();
  for (auto _ : state) {
    auto signature = ktarn::platform::software::sign_sha256_digest(signer, kDigest);
    if (!signature) {
      state.SkipWithError("the TPM did not sign");
      return;
    }
    benchmark::DoNotOptimize(signature);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(tpm_provider_sign)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr const char* kSign =
    R"({"id":"b","payload":{"audience":"ktarn-sealed-browser","nonce":"n-0123456789","protocol":1,"purpose":"request"},"type":"sign"})";

// Key creation and the first load happen before the timing; each iteration is one request line
// and its answer.
void tpm_companion_sign(benchmark::State& state) {
  if (!ready(state)) return;
  // A throw-away home whose keychain the companion makes on first use, in the TPM it reaches.
  const ktarn::bench::TempHome home;
  std::string tcti_variable = "TPM2OPENSSL_TCTI=";
  tcti_variable += fixture().tpm->tcti();
  ktarn::bench::ChildProcess companion({{KTARN_COMPANION_PATH}, {home.env(), tcti_variable}});
  if (companion.round_trip(kSign).find(R"("ok":true)") == std::string::npos) {
    state.SkipWithError("the companion did not sign with a TPM key");
    return;
  }
  for (auto _ : state) {
    if (companion.round_trip(kSign).find(R"("ok":true)") == std::string::npos) {
      state.SkipWithError("the companion stopped signing");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(tpm_companion_sign)->Unit(benchmark::kMillisecond)->UseRealTime();

// The key a cache miss loads: the blob decoded and the key loaded under the TPM's storage key.
void tpm_load_blob(benchmark::State& state) {
  if (!ready(state)) return;
  for (auto _ : state) {
    auto loaded = fixture().keys.load(fixture().created->blob);
    if (!loaded) {
      state.SkipWithError("the TPM did not load the key");
      return;
    }
    benchmark::DoNotOptimize(loaded);
  }
}
BENCHMARK(tpm_load_blob)->Unit(benchmark::kMillisecond)->UseRealTime();

void tpm_create_rsa_2048(benchmark::State& state) {
  if (!ready(state)) return;
  for (auto _ : state) {
    auto made = fixture().keys.create_rsa_key(2048);
    if (!made) {
      state.SkipWithError("the TPM made no key");
      return;
    }
    benchmark::DoNotOptimize(made);
  }
}
BENCHMARK(tpm_create_rsa_2048)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void software_create_rsa_2048(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ktarn::platform::software::generate_rsa_key(2048));
  }
}
BENCHMARK(software_create_rsa_2048)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
