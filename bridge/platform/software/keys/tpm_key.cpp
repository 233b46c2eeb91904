#include "bridge/platform/software/keys/tpm_key.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>

#include "base/c_handle.hpp"
#include "base/crypto_library.hpp"
#include "bridge/platform/software/keys/tss_key_creation.hpp"
#include "bridge/platform/status_codes.hpp"

namespace ktarn::platform::software {

namespace {

// Every TPM operation names the provider, so nothing falls back to a software implementation;
// everything else in the context prefers the default provider, so that no incidental digest or
// random number in this context becomes a TPM command.
constexpr const char* kTpmOnly = "provider=tpm2";
constexpr const char* kPreferSoftware = "?provider=default";
// The TSS beneath the provider writes its diagnostics to standard error unless told otherwise, and
// the companion's standard error carries nothing but its one line.
constexpr const char* kTssLogVariable = "TSS2_LOG";
constexpr const char* kTssLogNothing = "all+NONE";
// Unless the provider's TCTI variable names a TPM, it is the kernel's resource manager: never the
// TSS's later fallbacks, which include TPM simulators on a loopback port that any local user could
// open and so be handed every key made "in the TPM".
constexpr const char* kTctiVariable = "TPM2OPENSSL_TCTI";
constexpr const char* kKernelResourceManager = "device:/dev/tpmrm0";
// The TPM's response codes that say the key is sound but cannot be used now (the layer that
// passed the code on masked off).
constexpr unsigned long kResponseCodeMask = 0xffff;
constexpr unsigned long kObjectMemory = 0x902;
constexpr unsigned long kSessionMemory = 0x903;
constexpr unsigned long kMemory = 0x904;
constexpr unsigned long kSessionHandles = 0x905;
constexpr unsigned long kObjectHandles = 0x906;
constexpr unsigned long kLockout = 0x921;

using PkeyContext = CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using DecoderContext = CHandle<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;
using Rand = CHandle<EVP_RAND, EVP_RAND_free>;
using RandContext = CHandle<EVP_RAND_CTX, EVP_RAND_CTX_free>;
using Number = CHandle<BIGNUM, BN_free>;
using ParamBuilder = CHandle<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = CHandle<OSSL_PARAM, OSSL_PARAM_free>;

}  // namespace

namespace {

// A socket by descriptor and inode, so that a descriptor closed and reused meanwhile is never
// taken for it.
struct Socket {
  int fd;
  ino_t inode;
};
using Sockets = std::vector<Socket>;

Sockets open_sockets() {
  Sockets found;
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return found;
  while (const dirent* entry = ::readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    struct stat status {};
    if (end == entry->d_name || *end != '\0' || fd == ::dirfd(folder)) continue;
    if (::fstat(static_cast<int>(fd), &status) == 0 && S_ISSOCK(status.st_mode)) {
      found.push_back({static_cast<int>(fd), status.st_ino});
    }
  }
  ::closedir(folder);
  return found;
}

// A socket that carries TPM commands: a network connection to a TPM, or the unnamed socket a
// resource manager hands its client. Never a named local socket, a message bus, whose library
// ends the whole process when it finds its connection cut.
bool carries_commands(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
  if (peer.ss_family == AF_INET || peer.ss_family == AF_INET6) return true;
  return peer.ss_family == AF_UNIX && length <= sizeof(sa_family_t);
}

// The command sockets opened since the ones given were open.
Sockets command_sockets_since(const Sockets& before) {
  Sockets opened;
  for (const Socket& socket : open_sockets()) {
    bool known = false;
    for (const Socket& old : before) known = known || old.inode == socket.inode;
    if (!known && carries_commands(socket.fd)) opened.push_back(socket);
  }
  return opened;
}

// A blocked read or poll on a socket returns once the socket is shut down, from any thread.
void cut(const Sockets& sockets) {
  for (const Socket& socket : sockets) {
    struct stat status {};
    if (::fstat(socket.fd, &status) == 0 && status.st_ino == socket.inode) {
      ::shutdown(socket.fd, SHUT_RDWR);
    }
  }
}

// The resource manager's client library logs through GLib, whose default writer puts warnings
// and criticals on standard error. Where GLib is installed, its writer is replaced, once per
// process and before the provider can load that client, by one that drops every message. Where
// it is not, nothing that logs through it can be loaded either. The library stays loaded.
void silence_glib() {
  static std::once_flag once;
  std::call_once(once, [] {
    void* glib = ::dlopen("libglib-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (glib == nullptr) return;
    using Writer = int (*)(int, const void*, std::size_t, void*);
    using SetWriter = void (*)(Writer, void*, void (*)(void*));
    constexpr int kHandled = 1;
    auto* set_writer = reinterpret_cast<SetWriter>(::dlsym(glib, "g_log_set_writer_func"));
    if (set_writer != nullptr) {
      set_writer([](int, const void*, std::size_t, void*) { return kHandled; }, nullptr, nullptr);
    }
  });
}

// What a response code from the TPM stack says, when it says a sound key cannot be used now.
std::optional<TpmFailure> verdict_of(unsigned long response) {
  const unsigned long code = response & kResponseCodeMask;
  if (code == kObjectMemory || code == kSessionMemory || code == kMemory ||
      code == kSessionHandles || code == kObjectHandles) {
    return TpmFailure::kNoRoom;
  }
  if (code == kLockout) return TpmFailure::kLockedOut;
  return std::nullopt;
}

// What the TPM answered, when the provider passed its response code on: the code in decimal at
// the start of the error's text.
std::optional<TpmFailure> tpm_verdict() {
  std::optional<TpmFailure> verdict;
  const char* data = nullptr;
  int flags = 0;
  while (ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags) != 0) {
    if ((flags & ERR_TXT_STRING) == 0 || data == nullptr) continue;
    char* end = nullptr;
    const unsigned long code = std::strtoul(data, &end, 10);
    if (end == data) continue;
    if (auto said = verdict_of(code)) verdict = said;
  }
  return verdict;
}

}  // namespace

// Cuts a TPM call that has not returned within its bound, by shutting down the sockets its
// connection uses: the call then fails as it would have had the TPM stack gone, so the request
// loop is never held longer than the bound, whatever the TPM stack does. The waiting is done by a
// thread of its own, which never calls into the provider.
class TpmKeys::Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Runs the call, and cuts it with `expire` once the bound has passed; whether it did.
  bool run(std::chrono::milliseconds bound, std::function<void()> expire,
           const std::function<void()>& call) {
    {
      std::lock_guard lock(mutex_);
      deadline_ = std::chrono::steady_clock::now() + bound;
      expire_ = std::move(expire);
      cut_ = false;
    }
    changed_.notify_one();
    call();
    std::lock_guard lock(mutex_);
    deadline_.reset();
    expire_ = nullptr;
    return cut_;
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!deadline_) {
        changed_.wait(lock);
        continue;
      }
      const auto deadline = *deadline_;
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && deadline_ == deadline) {
        expire_();
        cut_ = true;
        deadline_.reset();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  std::function<void()> expire_;
  bool cut_ = false;
  std::thread thread_;
};

// The library context and its two providers, released once, after the last key made in it.
struct TpmKeys::Context {
  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    if (tpm != nullptr) OSSL_PROVIDER_unload(tpm);
    if (software != nullptr) OSSL_PROVIDER_unload(software);
    OSSL_LIB_CTX_free(library);
  }

  OSSL_LIB_CTX* library = nullptr;
  OSSL_PROVIDER* software = nullptr;
  OSSL_PROVIDER* tpm = nullptr;
  Sockets sockets;                   // those the provider's connection keeps for TPM commands
  std::optional<TssConnection> tss;  // the stack's own connection to the same TPM, to make keys
};

namespace {

// The provider leaves its reasons on OpenSSL's error queue; the caller only learns the failure.
template <class T>
TpmResult<T> failure(TpmFailure reason) {
  ERR_clear_error();
  return Unexpected(reason);
}

// A random number from the TPM: the cheapest command that proves the TPM answers now.
bool tpm_answers(OSSL_LIB_CTX* library) {
  Rand rand(EVP_RAND_fetch(library, "CTR-DRBG", kTpmOnly));
  RandContext generator(rand ? EVP_RAND_CTX_new(rand.get(), nullptr) : nullptr);
  std::array<unsigned char, 8> bytes{};
  const bool answered =
      generator && EVP_RAND_instantiate(generator.get(), 0, 0, nullptr, 0, nullptr) == 1 &&
      EVP_RAND_generate(generator.get(), bytes.data(), bytes.size(), 0, 0, nullptr, 0) == 1;
  OPENSSL_cleanse(bytes.data(), bytes.size());
  ERR_clear_error();
  return answered;
}

// Keys and signing contexts hold the library context until they are released themselves.
Pkey adopt_key(std::shared_ptr<void> context, EVP_PKEY* key) {
  return Pkey(key, [context = std::move(context)](EVP_PKEY* released) { EVP_PKEY_free(released); });
}

}  // namespace

OSStatus status_from_tpm_failure(TpmFailure failure) {
  switch (failure) {
    case TpmFailure::kUnreachable:
      return errSecIO;
    case TpmFailure::kRefused:
      return errSecDecode;
    case TpmFailure::kFailed:
      return errSecInternalComponent;
    case TpmFailure::kNoRoom:
      return errSecQuotaExceeded;
    case TpmFailure::kLockedOut:
      return errSecServiceNotAvailable;
  }
  return errSecInternalComponent;
}

// OpenSSL is set up here (as every process of this system uses it: base/crypto_library.hpp),
// before any TpmKeys is complete, so that its own clean-up at exit is registered first and so runs
// last: an instance that lives as long as the process (the default platform's, made with the
// keychain, before the keychain's first use of the library) then releases its keys and provider
// while OpenSSL still stands.
TpmKeys::TpmKeys() : TpmKeys(TpmBounds{}) {}
TpmKeys::TpmKeys(TpmBounds bounds) : bounds_(bounds) {
  prepare_crypto_library();
}
TpmKeys::~TpmKeys() = default;
TpmKeys::TpmKeys(TpmKeys&&) noexcept = default;
TpmKeys& TpmKeys::operator=(TpmKeys&&) noexcept = default;

// The watchdog's thread is started with the first TPM call, so a process that never asks for a
// TPM has none.
bool TpmKeys::bounded(std::chrono::milliseconds bound, std::function<void()> expire,
                      const std::function<void()>& call) {
  if (!watchdog_) watchdog_ = std::make_unique<Watchdog>();
  cut_ = watchdog_->run(bound, std::move(expire), call);
  return cut_;
}

// Some TCTIs keep one socket for the connection, others open one for each command (a TPM that
// serves one client at a time), so both are cut.
bool TpmKeys::bounded(const Context& context, std::chrono::milliseconds bound,
                      const std::function<void()>& call) {
  return bounded(
      bound,
      [&context, before = open_sockets()] {
        cut(context.sockets);
        cut(command_sockets_since(before));
      },
      call);
}

// A provider that failed to load is tried again next time: the TPM may have become reachable.
TpmResult<std::shared_ptr<TpmKeys::Context>> TpmKeys::context() {
  if (context_) return context_;
  ::setenv(kTssLogVariable, kTssLogNothing, 1);
  const char* named = std::getenv(kTctiVariable);
  if (named == nullptr || *named == '\0') ::setenv(kTctiVariable, kKernelResourceManager, 1);
  silence_glib();
  auto context = std::make_shared<Context>();
  context->library = OSSL_LIB_CTX_new();
  if (context->library == nullptr ||
      EVP_set_default_properties(context->library, kPreferSoftware) != 1) {
    return failure<std::shared_ptr<Context>>(TpmFailure::kFailed);
  }
  context->software = OSSL_PROVIDER_load(context->library, "default");
  if (context->software == nullptr) return failure<std::shared_ptr<Context>>(TpmFailure::kFailed);
  // The provider connects to the TPM as it loads, and refuses to load without one; the stack's
  // own connection is made alongside, to the TPM the provider reached, so that making a key later
  // opens nothing that could wait on a stopped resource manager past the watchdog's reach. The
  // sockets opened meanwhile are the two connections'.
  const Sockets before = open_sockets();
  const bool was_cut = bounded(
      bounds_.call, [&before] { cut(command_sockets_since(before)); },
      [&] {
        context->tpm = OSSL_PROVIDER_load(context->library, "tpm2");
        if (context->tpm == nullptr) return;
        auto tss = TssConnection::open(std::getenv(kTctiVariable));
        if (tss) context->tss.emplace(std::move(*tss));
      });
  if (context->tpm == nullptr || !context->tss || was_cut) {
    return failure<std::shared_ptr<Context>>(TpmFailure::kUnreachable);
  }
  context->sockets = command_sockets_since(before);
  context_ = std::move(context);
  return context_;
}

bool TpmKeys::reachable() {
  auto context = this->context();
  return context && answers(**context);
}

// The provider's connection does not recover once its TPM stopped answering, so the context is
// dropped and the next use loads the provider afresh; keys from the old one keep it while they
// live.
bool TpmKeys::answers(const Context& context) {
  bool answered = false;
  const bool was_cut =
      bounded(context, bounds_.call, [&] { answered = tpm_answers(context.library); });
  if (answered && !was_cut) return true;
  if (context_.get() == &context) context_.reset();
  return false;
}

// What a failed provider call tells, the TPM's answer read from what the provider left on
// OpenSSL's error queue.
TpmFailure TpmKeys::failure_of(const Context& context, bool cut, TpmFailure otherwise) {
  const std::optional<TpmFailure> said = cut ? std::nullopt : tpm_verdict();
  ERR_clear_error();
  return judged(context, cut, said, otherwise);
}

// What a failed TPM call tells: the TPM's own answer when it says a sound key cannot be used
// now; otherwise whether the connection still answers.
TpmFailure TpmKeys::judged(const Context& context, bool cut, std::optional<TpmFailure> said,
                           TpmFailure otherwise) {
  if (said) return *said;
  if (cut) {
    if (context_.get() == &context) context_.reset();
    return TpmFailure::kUnreachable;
  }
  return answers(context) ? otherwise : TpmFailure::kUnreachable;
}

// A connection kept from an earlier call may have died since (its TPM stack restarted or killed
// under it): one found dead is made again, once, and the call tried on the new one. A call that
// was cut is not tried again, since the TPM stack that held it may still be stopped.
template <class T>
TpmResult<T> TpmKeys::reconnecting(
    const std::function<TpmResult<T>(const std::shared_ptr<Context>&)>& call) {
  const bool kept = context_ != nullptr;
  auto context = this->context();
  if (!context) return Unexpected(context.error());
  auto result = call(*context);
  if (result || result.error() != TpmFailure::kUnreachable || !kept || cut_ || context_) {
    return result;
  }
  context = this->context();
  if (!context) return Unexpected(context.error());
  return call(*context);
}

TpmResult<CreatedTpmKey> TpmKeys::create_rsa_key(int bits) {
  return reconnecting<CreatedTpmKey>(
      [this, bits](const std::shared_ptr<Context>& context) { return create_in(context, bits); });
}

// The key is made through the stack's own connection, since the provider cannot exempt a key
// from lockout; the provider then loads it like any stored key.
TpmResult<CreatedTpmKey> TpmKeys::create_in(const std::shared_ptr<Context>& context, int bits) {
  Expected<Bytes, TssCode> made = Unexpected(kTssUnavailable);
  const bool was_cut = bounded(*context, bounds_.creation,
                               [&] { made = context->tss->create_lockout_exempt_rsa_key(bits); });
  if (!made) {
    // Made again for the next call even when the TPM answers by then (a resource manager
    // restarted at once, say): this connection takes no further command.
    if (!tpm_answered(made.error()) && context_ == context) context_.reset();
    const std::optional<TpmFailure> said = was_cut ? std::nullopt : verdict_of(made.error());
    return Unexpected(judged(*context, was_cut, said, TpmFailure::kFailed));
  }
  auto key = load_in(context, *made);
  if (!key) return Unexpected(key.error());
  return CreatedTpmKey{std::move(*key), std::move(*made)};
}

TpmResult<DecodedKey> TpmKeys::load(std::span<const std::uint8_t> blob) {
  return reconnecting<DecodedKey>(
      [this, blob](const std::shared_ptr<Context>& context) { return load_in(context, blob); });
}

TpmResult<DecodedKey> TpmKeys::load_in(const std::shared_ptr<Context>& context,
                                       std::span<const std::uint8_t> blob) {
  EVP_PKEY* loaded = nullptr;
  DecoderContext decoder(OSSL_DECODER_CTX_new_for_pkey(
      &loaded, "DER", nullptr, "RSA", EVP_PKEY_KEYPAIR, context->library, kTpmOnly));
  const unsigned char* cursor = blob.data();
  std::size_t remaining = blob.size();
  int decoded = 0;
  bool was_cut = false;
  if (decoder && !blob.empty()) {
    was_cut = bounded(*context, bounds_.call, [&] {
      decoded = OSSL_DECODER_from_data(decoder.get(), &cursor, &remaining);
    });
  }
  if (decoded != 1) {
    EVP_PKEY_free(loaded);
    return Unexpected(failure_of(*context, was_cut, TpmFailure::kRefused));
  }
  Pkey key = adopt_key(context, loaded);
  // Only a key held by the TPM counts: never a software key that a blob might smuggle in.
  if (remaining != 0 || EVP_PKEY_get0_provider(key.get()) != context->tpm ||
      !EVP_PKEY_is_a(key.get(), "RSA")) {
    return failure<DecodedKey>(TpmFailure::kRefused);
  }
  return with_signer(context, std::move(key));
}

TpmResult<TpmSignature> TpmKeys::sign(Sha256Signer& signer, std::span<const std::uint8_t> blob,
                                      std::span<const std::uint8_t> digest) {
  // A TPM key's signer holds the context it was made in (with_signer below).
  const auto& context = *static_cast<const Context*>(signer.owner.get());
  std::optional<Bytes> signature;
  const bool was_cut = bounded(context, bounds_.call, [&] {
    if (auto made = sign_sha256_digest(signer, digest)) signature = std::move(*made);
  });
  if (signature) return TpmSignature{std::move(*signature), std::nullopt};
  // A TPM restarted under a connection that survives it (one made for each command) answers,
  // but no longer holds the key: loading it again tells that apart from a key that cannot sign.
  const TpmFailure failed = failure_of(context, was_cut, TpmFailure::kFailed);
  if (failed == TpmFailure::kNoRoom || failed == TpmFailure::kLockedOut || was_cut) {
    return Unexpected(failed);
  }
  auto loaded = load(blob);
  if (!loaded) return Unexpected(loaded.error());
  const auto& again = *static_cast<const Context*>(loaded->signer()->owner.get());
  const bool cut_again = bounded(again, bounds_.call, [&] {
    if (auto made = sign_sha256_digest(*loaded->signer(), digest)) signature = std::move(*made);
  });
  if (signature) return TpmSignature{std::move(*signature), std::move(*loaded)};
  return Unexpected(failure_of(again, cut_again, TpmFailure::kFailed));
}

// Signatures the TPM makes are checked with the key's public half in software, like any other.
TpmResult<DecodedKey> TpmKeys::with_signer(const std::shared_ptr<Context>& context, Pkey key) {
  KeyContext sign(EVP_PKEY_CTX_new_from_pkey(context->library, key.get(), kTpmOnly));
  auto public_half = tpm_public_half(*key);
  if (!sign || !public_half) return failure<DecodedKey>(TpmFailure::kFailed);
  auto signer = make_sha256_signer(std::move(sign), **public_half, context);
  if (!signer) return failure<DecodedKey>(TpmFailure::kFailed);
  return DecodedKey{std::move(key), std::move(*signer)};
}

TpmResult<Pkey> tpm_public_half(EVP_PKEY& key) {
  BIGNUM* modulus = nullptr;
  BIGNUM* exponent = nullptr;
  const bool found = EVP_PKEY_get_bn_param(&key, OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
                     EVP_PKEY_get_bn_param(&key, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1;
  Number n(modulus);
  Number e(exponent);
  if (!found) return failure<Pkey>(TpmFailure::kFailed);
  ParamBuilder builder(OSSL_PARAM_BLD_new());
  if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    return failure<Pkey>(TpmFailure::kFailed);
  }
  Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  PkeyContext maker(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* half = nullptr;
  if (!params || !maker || EVP_PKEY_fromdata_init(maker.get()) <= 0 ||
      EVP_PKEY_fromdata(maker.get(), &half, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
    return failure<Pkey>(TpmFailure::kFailed);
  }
  return Pkey(half, EVP_PKEY_free);
}

}  // namespace ktarn::platform::software
