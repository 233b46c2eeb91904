// Keys inside a software TPM started for the run (swtpm), reached through OpenSSL's tpm2 provider:
// the provider's own signing rate with a loaded key (one EVP_PKEY_sign per digest, nothing of the
// keychain around it), which is the floor for "sign" with a TPM key, beside "sign" one request at
// a time through the companion whose keychain keeps its key in the same TPM; loading a stored
// blob into the TPM; and creating an RSA-2048 key in the TPM beside creating one in software. A new
// process's first "sign" with its key already stored in the TPM is measured beside a new process
// answering "health" plus the provider's own signature. Skipped with a note when swtpm or the
// provider is not installed.
#include <benchmark/benchmark.h>

#include <iomanip>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "bridge/platform/software/keys/tpm_key.hpp"
#include "child_process.hpp"
#include "ratio_reporter.hpp"
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
constexpr const char* kHealth = R"({"type":"health"})";
constexpr const char* kOk = R"("ok":true)";  // in an answer that succeeded

// The companion with the given home, reaching the run's TPM.
ktarn::bench::ChildOptions companion_in(const ktarn::bench::TempHome& home) {
  return {{KTARN_COMPANION_PATH}, {home.env(), "TPM2OPENSSL_TCTI=" + fixture().tpm->tcti()}};
}

// Key creation and the first load happen before the timing; each iteration is one request line
// and its answer.
void tpm_companion_sign(benchmark::State& state) {
  if (!ready(state)) return;
  // A throw-away home whose keychain the companion makes on first use, in the TPM it reaches.
  const ktarn::bench::TempHome home;
  ktarn::bench::ChildProcess companion(companion_in(home));
  if (companion.round_trip(kSign).find(kOk) == std::string::npos) {
    state.SkipWithError("the companion did not sign with a TPM key");
    return;
  }
  for (auto _ : state) {
    if (companion.round_trip(kSign).find(kOk) == std::string::npos) {
      state.SkipWithError("the companion stopped signing");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(tpm_companion_sign)->Unit(benchmark::kMillisecond)->UseRealTime();

// A home whose keychain holds a key in the TPM, made by a companion that has ended.
const ktarn::bench::TempHome* stored_key_home() {
  static const auto home = [] {
    auto made = std::make_unique<ktarn::bench::TempHome>();
    ktarn::bench::ChildProcess companion(companion_in(*made));
    const bool signed_once = companion.round_trip(kSign).find(kOk) != std::string::npos;
    companion.finish();
    return signed_once ? std::move(made) : nullptr;
  }();
  return home.get();
}

// A new process, started, sent one line and ended (its TPM key flushed at exit included); its own
// CPU time (user and system) beside, in milliseconds.
void new_process(benchmark::State& state, const char* line) {
  if (!ready(state)) return;
  const ktarn::bench::TempHome* home = stored_key_home();
  if (home == nullptr) {
    state.SkipWithError("the companion did not sign with a TPM key");
    return;
  }
  double cpu_us = 0;
  for (auto _ : state) {
    ktarn::bench::ChildProcess companion(companion_in(*home));
    if (companion.round_trip(line).find(kOk) == std::string::npos) {
      state.SkipWithError("the companion did not answer");
      return;
    }
    companion.finish();
    cpu_us += companion.cpu_us();
  }
  state.counters["child_cpu_ms"] = cpu_us / 1000 / static_cast<double>(state.iterations());
}

// A new process's first "sign", its key already stored in the TPM: the provider loaded, the
// key loaded under the TPM's primary key, the signature.
void tpm_first_sign(benchmark::State& state) {
  new_process(state, kSign);
}
BENCHMARK(tpm_first_sign)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

// The floor's first part: a new process answering "health", which needs no TPM; the second part
// is the provider's own signature (tpm_provider_sign).
void new_process_health(benchmark::State& state) {
  new_process(state, kHealth);
}
BENCHMARK(new_process_health)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

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

// Clock times, each figure beside its floor from the same run.
void print_ratios(std::ostream& out, const ktarn::bench::CpuTimes& times) {
  const auto provider = times.real("tpm_provider_sign/real_time");
  const auto companion = times.real("tpm_companion_sign/real_time");
  const auto first = times.real("tpm_first_sign/iterations:30/real_time");
  const auto health = times.real("new_process_health/iterations:30/real_time");
  out << std::fixed;
  if (provider && companion) {
    out << "\n\"sign\" through the companion against the provider's own signing (target >= 0.80): "
        << std::setprecision(2) << *provider << " ms / " << *companion << " ms -> "
        << *provider / *companion << "\n";
  }
  if (provider && first && health) {
    const double floor = *health + *provider;
    out << "a new process's first TPM \"sign\" against a new process's \"health\" + the "
           "provider's signature (report): "
        << std::setprecision(2) << *first << " ms / (" << *health << " + " << *provider
        << ") ms -> " << *first / floor << "x\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  return ktarn::bench::run_with_ratios(argc, argv, print_ratios);
}
