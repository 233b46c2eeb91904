// Whole-process figures, each beside the floor it is measured against in the same run: request
// round trips through ktarn-companion one at a time, its start-up and its peak memory,
// next to a minimal peer on the same pipes and the raw RSA and keychain-path costs in one process.
// In-process floors run on the companion's CPU, so both sides of a ratio get the same core. A
// sealed keychain's figures use a private keyring started for the run on that CPU too, so any
// D-Bus round trip a request made would be paid on the one CPU the signature is measured against.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "rsa_signer.hpp"
#include "support/private_keyring.hpp"

namespace {

using ktarn::bench::ChildOptions;
using ktarn::bench::ChildProcess;
using ktarn::bench::TempHome;
using Clock = std::chrono::steady_clock;

constexpr int kChildCpu = 0;
constexpr int kParentCpu = 1;
const std::string kHealth = R"({"type":"health"})";
const std::string kSign =
    R"({"id":"b","payload":{"audience":"ktarn-sealed-browser","nonce":"n-0123456789","protocol":1,"purpose":"request"},"type":"sign"})";
const std::string kKey = R"({"id":"k","type":"key"})";
constexpr std::size_t kMaxCanonicalPayload = 32768;

// The largest "sign" the companion takes: an "events" payload of browser events, grown to just
// within the size limit on signed bytes; sent in canonical form, or with its members out of order
// so that the companion must write it again.
std::string large_sign_request(bool canonical) {
  const std::string head =
      canonical ? R"({"audience":"ktarn-sealed-browser","events":[)"
                : R"({"purpose":"events","audience":"ktarn-sealed-browser","events":[)";
  const std::string tail = canonical
                               ? R"(],"nonce":"n-0123456789","protocol":1,"purpose":"events"})"
                               : R"(],"nonce":"n-0123456789","protocol":1})";
  std::string events;
  for (int i = 0;; ++i) {
    const std::string event = std::string(i > 0 ? "," : "") + R"({"at":)" +
                              std::to_string(1765267200000 + 137 * i) + R"(,"detail":"tab )" +
                              std::to_string(i % 24) + R"( → window )" + std::to_string(i % 3) +
                              R"(","kind":"focus-change"})";
    if (head.size() + events.size() + event.size() + tail.size() > kMaxCanonicalPayload) break;
    events += event;
  }
  return R"({"id":"L","payload":)" + head + events + tail + R"(,"type":"sign"})";
}
const std::string kLargeSign = large_sign_request(true);
const std::string kLargeUnorderedSign = large_sign_request(false);

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Operations per second of fn over count runs.
double rate(int count, const std::function<void()>& fn) {
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) fn();
  return count / seconds_since(start);
}

// This build's companion, or another build's named by KTARN_BENCH_COMPANION, so that two builds
// can be measured by one driver, taking turns.
std::string companion_path() {
  const char* other = std::getenv("KTARN_BENCH_COMPANION");
  return other != nullptr && *other != '\0' ? other : KTARN_COMPANION_PATH;
}

// No session bus: the run's own desktop keyring is never reached, and the keychain stays plain.
ChildOptions companion(const TempHome& home) {
  return {{companion_path()}, {home.env(), "DBUS_SESSION_BUS_ADDRESS=disabled:"}, kChildCpu};
}

// A companion whose keychain, made on first use, is sealed under the private keyring's key.
ChildOptions sealed_companion(const TempHome& home, const ktarn::testing::PrivateKeyring& keyring) {
  return {{companion_path()},
          {home.env(), "DBUS_SESSION_BUS_ADDRESS=" + keyring.bus_address(),
           "TPM2OPENSSL_TCTI=swtpm:port=1"},
          kChildCpu};
}

ChildOptions peer(std::size_t reply_size) {
  return {{KTARN_PEER_PATH, std::to_string(reply_size)}, {}, kChildCpu};
}

// The minimal peer signing each line's digest with the key stored in der_path, decoded on its
// first line.
ChildOptions stored_key_peer(std::size_t reply_size, const std::string& der_path) {
  return {{KTARN_PEER_PATH, std::to_string(reply_size), "sign-stored", der_path}, {}, kChildCpu};
}

// A file holding a fresh RSA-2048 key's PKCS #1 DER, in home.
std::string stored_key_file(const TempHome& home) {
  const std::string path = (home.path / "peer-key.der").string();
  EVP_PKEY* key = EVP_RSA_gen(2048);
  unsigned char* der = nullptr;
  const int length = i2d_PrivateKey(key, &der);
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(der, 1, length > 0 ? static_cast<std::size_t>(length) : 0, file);
    std::fclose(file);
  }
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  return path;
}

// The minimal peer making one RSA-2048 signature per line: a bare signer behind the same pipes.
ChildOptions signing_peer(std::size_t reply_size) {
  return {{KTARN_PEER_PATH, std::to_string(reply_size), "sign"}, {}, kChildCpu};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs fn with this process on the companion's CPU, then returns to its own.
double on_child_cpu(const std::function<double()>& fn) {
  ktarn::bench::pin_to_cpu(kChildCpu);
  double result = fn();
  ktarn::bench::pin_to_cpu(kParentCpu);
  return result;
}

double round_trips(const ChildOptions& options, const std::string& line, int count) {
  ChildProcess child(options);
  child.round_trip(line);  // warm-up: first use creates the device key
  return rate(count, [&] { child.round_trip(line); });
}

// A new process answering its first line, averaged over count processes, in microseconds: from
// its start to its end, and the CPU time it used, which the machine's other work delays less.
struct FirstAnswer {
  double wall_us, cpu_us;
};

FirstAnswer first_answer(const ChildOptions& options, const std::string& line, int count) {
  double cpu_us = 0;
  const double per_second = rate(count, [&] {
    ChildProcess child(options);
    child.round_trip(line);
    child.finish();
    cpu_us += child.cpu_us();
  });
  return {1e6 / per_second, cpu_us / count};
}

double first_answer_us(const ChildOptions& options, const std::string& line, int count) {
  return first_answer(options, line, count).wall_us;
}

long peak_rss_kib(const ChildOptions& options, const std::string& line, int count) {
  ChildProcess child(options);
  for (int i = 0; i < count; ++i) child.round_trip(line);
  return child.finish();
}

double openssl_sign_rate(int count) {
  ktarn::bench::RsaSigner signer;
  return rate(count, [&] { signer.sign(); });
}

double thread_cpu_us() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return 1e6 * static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e3;
}

// The CPU time of one raw signature, averaged.
double openssl_sign_cpu_us(int count) {
  ktarn::bench::RsaSigner signer;
  const double start = thread_cpu_us();
  for (int i = 0; i < count; ++i) signer.sign();
  return (thread_cpu_us() - start) / count;
}

// The store path a keychain use cannot avoid: open the database, query the item, decode the key.
double store_path_rate(int count) {
  TempHome home;
  std::string db_path = (home.path / "store.db").string();
  EVP_PKEY* key = EVP_RSA_gen(2048);
  unsigned char* der = nullptr;
  int der_length = i2d_PrivateKey(key, &der);
  sqlite3* db = nullptr;
  sqlite3_open(db_path.c_str(), &db);
  sqlite3_exec(db, "CREATE TABLE k(tag BLOB, key BLOB)", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO k VALUES(?, ?)", -1, &insert, nullptr);
  sqlite3_bind_blob(insert, 1, "tag", 3, SQLITE_STATIC);
  sqlite3_bind_blob(insert, 2, der, der_length, SQLITE_STATIC);
  sqlite3_step(insert);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  double result = rate(count, [&] {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db_path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(handle, "SELECT key FROM k WHERE tag = ?", -1, &select, nullptr);
    sqlite3_bind_blob(select, 1, "tag", 3, SQLITE_STATIC);
    if (sqlite3_step(select) == SQLITE_ROW) {
      auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(select, 0));
      EVP_PKEY* decoded =
          d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &blob, sqlite3_column_bytes(select, 0));
      EVP_PKEY_free(decoded);
    }
    sqlite3_finalize(select);
    sqlite3_close(handle);
  });
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  return result;
}

// A new process's first answers, the device key already stored, beside what no companion can
// do below: starting and answering "health", plus one raw signature. Medians of five rounds
// taking turns, in microseconds.
struct FirstAnswers {
  double start, start_floor, key, sign, floor, key_cpu, sign_cpu, floor_cpu, peer_sign;
};

FirstAnswers first_answers(const TempHome& home, std::size_t health_size, int scale) {
  std::vector<double> start_runs, start_floor_runs, key_runs, sign_runs, floor_runs, key_cpu_runs,
      sign_cpu_runs, floor_cpu_runs, peer_sign_runs;
  const std::string peer_key = stored_key_file(home);
  for (int round = 0; round < 5; ++round) {
    start_runs.push_back(first_answer_us(companion(home), kHealth, 20 * scale));
    start_floor_runs.push_back(first_answer_us(peer(health_size), kHealth, 20 * scale));
    const FirstAnswer key = first_answer(companion(home), kKey, 10 * scale);
    const FirstAnswer sign = first_answer(companion(home), kSign, 10 * scale);
    const double raw_signature_us =
        1e6 / on_child_cpu([&] { return openssl_sign_rate(50 * scale); });
    const double raw_signature_cpu_us =
        on_child_cpu([&] { return openssl_sign_cpu_us(50 * scale); });
    const FirstAnswer health = first_answer(companion(home), kHealth, 10 * scale);
    key_runs.push_back(key.wall_us);
    sign_runs.push_back(sign.wall_us);
    floor_runs.push_back(health.wall_us + raw_signature_us);
    key_cpu_runs.push_back(key.cpu_us);
    sign_cpu_runs.push_back(sign.cpu_us);
    floor_cpu_runs.push_back(health.cpu_us + raw_signature_cpu_us);
    peer_sign_runs.push_back(
        first_answer_us(stored_key_peer(health_size, peer_key), kSign, 10 * scale));
  }
  return {median(start_runs),    median(start_floor_runs), median(key_runs),
          median(sign_runs),     median(floor_runs),       median(key_cpu_runs),
          median(sign_cpu_runs), median(floor_cpu_runs),   median(peer_sign_runs)};
}

void row(const char* figure, double value, const char* unit, double floor, const char* target,
         double ratio) {
  std::printf("| %-44s | %12.1f %-6s | %12.1f | %6.2f | %-8s |\n", figure, value, unit, floor,
              ratio, target);
}

void print_header() {
  std::printf(
      "| figure                                       |        value        |        floor |  "
      "ratio | target   |\n");
  std::printf(
      "|----------------------------------------------|---------------------|--------------|-------"
      "-|----------|\n");
}

void first_answer_rows(const FirstAnswers& first) {
  row("start to first \"health\" answer (floor: peer)", first.start, "us", first.start_floor,
      "<= 1.20", first.start / first.start_floor);
  row("new process's first \"key\" (floor: health+RSA)", first.key, "us", first.floor, "<= 1.25",
      first.key / first.floor);
  row("new process's first \"sign\" (floor: health+RSA)", first.sign, "us", first.floor, "<= 1.25",
      first.sign / first.floor);
  row("the same first \"key\", CPU time", first.key_cpu, "us", first.floor_cpu, "report",
      first.key_cpu / first.floor_cpu);
  row("the same first \"sign\", CPU time", first.sign_cpu, "us", first.floor_cpu, "report",
      first.sign_cpu / first.floor_cpu);
  // What any program pays for its first signature with a stored key, the crypto library's first
  // use in the process included.
  row("new peer's first signature, stored key", first.peer_sign, "us", first.floor, "report",
      first.peer_sign / first.floor);
}

}  // namespace

int main(int argc, char** argv) {
  int scale = argc > 1 ? std::atoi(argv[1]) : 1;
  ktarn::bench::pin_to_cpu(kParentCpu);
  TempHome home;

  ChildProcess probe(companion(home));
  std::size_t health_size = probe.round_trip(kHealth).size() + 1;
  std::size_t sign_size = probe.round_trip(kSign).size() + 1;
  std::size_t key_size = probe.round_trip(kKey).size() + 1;
  // A refused large request would be measured as a fast one.
  std::size_t large_size = 0;
  for (const std::string* large : {&kLargeSign, &kLargeUnorderedSign}) {
    const std::string answer = probe.round_trip(*large);
    if (!answer.starts_with(R"({"id":"L","ok":true,)")) {
      std::fprintf(stderr, "the companion refused a large sign request\n");
      return 1;
    }
    large_size = answer.size() + 1;
  }
  probe.finish();
  // "first": only a new process's first answers, the figures that take least time to run.
  if (argc > 2 && std::string(argv[2]) == "first") {
    print_header();
    first_answer_rows(first_answers(home, health_size, scale));
    return 0;
  }

  double health = round_trips(companion(home), kHealth, 20000 * scale);
  double raw = round_trips(peer(health_size), kHealth, 20000 * scale);
  // The "sign" and start-up figures and their floors take turns, five rounds, and each keeps its
  // median: the host's other tenants then slow both sides of a ratio alike.
  std::vector<double> rsa_runs, one_cpu_runs, large_runs, unordered_runs, two_cpu_runs, bare_runs,
      bare_large_runs;
  for (int round = 0; round < 5; ++round) {
    rsa_runs.push_back(on_child_cpu([&] { return openssl_sign_rate(500 * scale); }));
    one_cpu_runs.push_back(
        on_child_cpu([&] { return round_trips(companion(home), kSign, 500 * scale); }));
    large_runs.push_back(
        on_child_cpu([&] { return round_trips(companion(home), kLargeSign, 500 * scale); }));
    unordered_runs.push_back(on_child_cpu(
        [&] { return round_trips(companion(home), kLargeUnorderedSign, 500 * scale); }));
    // What the pipes alone cost a 32 KiB "sign" on one CPU: a bare signer reading the same line
    // and writing an answer of the same size.
    bare_large_runs.push_back(on_child_cpu(
        [&] { return round_trips(signing_peer(large_size), kLargeSign, 500 * scale); }));
    two_cpu_runs.push_back(round_trips(companion(home), kSign, 500 * scale));
    bare_runs.push_back(round_trips(signing_peer(sign_size), kSign, 500 * scale));
  }
  double rsa = median(rsa_runs);
  double sign_one_cpu = median(one_cpu_runs);
  double large_one_cpu = median(large_runs);
  double unordered_one_cpu = median(unordered_runs);
  double bare_large_one_cpu = median(bare_large_runs);
  double sign_two_cpus = median(two_cpu_runs);
  double bare_two_cpus = median(bare_runs);
  double key = round_trips(companion(home), kKey, 400 * scale);
  double store = on_child_cpu([&] { return store_path_rate(400 * scale); });
  const FirstAnswers first = first_answers(home, health_size, scale);
  long rss_health = peak_rss_kib(companion(home), kHealth, 2000);
  long rss_sign = peak_rss_kib(companion(home), kSign, 200);
  long rss_floor = peak_rss_kib(peer(sign_size), kSign, 2000);
  (void)key_size;

  // The sealed figures, when a private keyring can run here.
  std::unique_ptr<ktarn::testing::PrivateKeyring> keyring;
  if (ktarn::testing::private_keyring_missing().empty()) {
    ktarn::bench::pin_to_cpu(kChildCpu);
    keyring = std::make_unique<ktarn::testing::PrivateKeyring>();
    ktarn::bench::pin_to_cpu(kParentCpu);
    if (!keyring->running()) keyring.reset();
  }
  TempHome sealed_home;
  double sealed_sign = 0, sealed_rsa = 0, sealed_start = 0, sealed_start_floor = 0;
  long rss_sealed = 0;
  if (keyring) {
    ChildProcess first(sealed_companion(sealed_home, *keyring));
    if (!first.round_trip(kSign).starts_with(R"({"id":"b","ok":true,)")) {
      std::fprintf(stderr, "the companion did not sign with a sealed key\n");
      return 1;
    }
    first.finish();
    std::vector<double> sealed_runs, sealed_rsa_runs, sealed_start_runs, sealed_floor_runs;
    for (int round = 0; round < 5; ++round) {
      sealed_rsa_runs.push_back(on_child_cpu([&] { return openssl_sign_rate(500 * scale); }));
      sealed_runs.push_back(on_child_cpu([&] {
        return round_trips(sealed_companion(sealed_home, *keyring), kSign, 500 * scale);
      }));
      sealed_start_runs.push_back(
          first_answer_us(sealed_companion(sealed_home, *keyring), kHealth, 20 * scale));
      sealed_floor_runs.push_back(first_answer_us(peer(health_size), kHealth, 20 * scale));
    }
    sealed_sign = median(sealed_runs);
    sealed_rsa = median(sealed_rsa_runs);
    sealed_start = median(sealed_start_runs);
    sealed_start_floor = median(sealed_floor_runs);
    rss_sealed = peak_rss_kib(sealed_companion(sealed_home, *keyring), kSign, 200);
  }

  print_header();
  row("\"health\" round trips/s (floor: raw ping-pong)", health, "/s", raw, ">= 0.70",
      health / raw);
  row("\"sign\" requests/s, 1 CPU (floor: RSA sign/s)", sign_one_cpu, "/s", rsa, ">= 0.85",
      sign_one_cpu / rsa);
  row("32 KiB \"sign\" requests/s, 1 CPU (floor: RSA)", large_one_cpu, "/s", rsa, ">= 0.70",
      large_one_cpu / rsa);
  row("32 KiB out of order, 1 CPU (floor: RSA)", unordered_one_cpu, "/s", rsa, ">= 0.70",
      unordered_one_cpu / rsa);
  row("32 KiB bare signer on pipes, 1 CPU (floor: RSA)", bare_large_one_cpu, "/s", rsa, "report",
      bare_large_one_cpu / rsa);
  row("\"sign\" requests/s, 2 CPUs (floor: bare signer)", sign_two_cpus, "/s", bare_two_cpus,
      "report", sign_two_cpus / bare_two_cpus);
  row("bare signer on pipes, 2 CPUs (floor: RSA sign/s)", bare_two_cpus, "/s", rsa, "report",
      bare_two_cpus / rsa);
  row("\"key\" requests/s (floor: open+query+decode/s)", key, "/s", store, "report", key / store);
  first_answer_rows(first);
  row("peak RSS after 2000 \"health\" (floor: reader)", rss_health / 1024.0, "MiB",
      rss_floor / 1024.0, "report", double(rss_health) / rss_floor);
  row("peak RSS after 200 \"sign\" (floor: reader)", rss_sign / 1024.0, "MiB", rss_floor / 1024.0,
      "<= 10MiB", double(rss_sign) / rss_floor);
  if (!keyring) {
    std::printf("sealed figures skipped: %s\n",
                ktarn::testing::private_keyring_missing().empty()
                    ? "the private keyring did not start"
                    : ktarn::testing::private_keyring_missing().c_str());
    return 0;
  }
  row("sealed \"sign\" requests/s, 1 CPU (floor: RSA)", sealed_sign, "/s", sealed_rsa, ">= 0.75",
      sealed_sign / sealed_rsa);
  row("sealed: start to first \"health\" (floor: peer)", sealed_start, "us", sealed_start_floor,
      "<= 1.20", sealed_start / sealed_start_floor);
  row("sealed: peak RSS after 200 \"sign\" (floor)", rss_sealed / 1024.0, "MiB", rss_floor / 1024.0,
      "<= 10MiB", double(rss_sealed) / rss_floor);
  return 0;
}
