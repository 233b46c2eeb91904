// Keys inside a TPM, against software TPMs started for these tests: what creation gives and what
// its blob does not hold, signatures OpenSSL verifies on its own, the ways a stored key becomes
// unusable (another TPM, no TPM, a damaged or foreign blob), each reported as such, and lockout,
// which stops only the keys made before keys were exempt from it.
#include "bridge/platform/software/keys/tpm_key.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "provider_made_tpm_key.hpp"
#include "software_keychain_fixture.hpp"
#include "support/software_tpm.hpp"

namespace ktarn::platform::software {
namespace {

using ktarn::testing::ScopedTcti;
using ktarn::testing::SoftwareTpm;
using testing::object_attributes;
using testing::provider_encoding;
using testing::provider_made_tpm_key;
using testing::public_area;

const Bytes kDigest(32, 0x5c);

Bytes public_der(EVP_PKEY& tpm_key) {
  auto half = tpm_public_half(tpm_key);
  if (!half) return Bytes();
  return encode_public_key(**half).value_or(Bytes());
}

std::optional<Bytes> sign(const DecodedKey& key) {
  if (key.signer() == nullptr) return std::nullopt;
  auto signature = sign_sha256_digest(*key.signer(), kDigest);
  if (!signature) return std::nullopt;
  return std::move(*signature);
}

using Number = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

Number number(std::span<const std::uint8_t> bytes) {
  return Number(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_free);
}

// Whether any run of bytes in the blob is a prime factor of the modulus or a private exponent
// that undoes the public one: what a blob holding the private key in the clear cannot avoid.
bool holds_private_half(const Bytes& blob, EVP_PKEY& public_half) {
  BIGNUM* n_raw = nullptr;
  BIGNUM* e_raw = nullptr;
  EVP_PKEY_get_bn_param(&public_half, OSSL_PKEY_PARAM_RSA_N, &n_raw);
  EVP_PKEY_get_bn_param(&public_half, OSSL_PKEY_PARAM_RSA_E, &e_raw);
  Number n(n_raw, BN_free);
  Number e(e_raw, BN_free);
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> scratch(BN_CTX_new(), BN_CTX_free);
  Number message = number(kDigest);
  Number sealed(BN_new(), BN_free);
  Number opened(BN_new(), BN_free);
  Number remainder(BN_new(), BN_free);
  BN_mod_exp(sealed.get(), message.get(), e.get(), n.get(), scratch.get());
  const std::size_t modulus_size = static_cast<std::size_t>(BN_num_bytes(n.get()));
  for (std::size_t size : {modulus_size / 2, modulus_size}) {
    for (std::size_t at = 0; at + size <= blob.size(); ++at) {
      Number candidate = number(std::span(blob).subspan(at, size));
      if (BN_is_zero(candidate.get()) || BN_is_one(candidate.get())) continue;
      if (size == modulus_size / 2) {
        BN_mod(remainder.get(), n.get(), candidate.get(), scratch.get());
        if (BN_is_zero(remainder.get())) return true;
      } else {
        BN_mod_exp(opened.get(), sealed.get(), candidate.get(), n.get(), scratch.get());
        if (BN_cmp(opened.get(), message.get()) == 0) return true;
      }
    }
  }
  return false;
}

// One software TPM and one key made in it, shared by the suite: a key takes about a second.
class TpmKeyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!ktarn::testing::software_tpm_missing().empty()) return;
    tpm_ = new SoftwareTpm();
    tcti_ = new ScopedTcti(tpm_->tcti());
    TpmKeys keys;
    auto created = keys.create_rsa_key(2048);
    if (created) created_ = new CreatedTpmKey(std::move(*created));
  }
  static void TearDownTestSuite() {
    delete created_;
    delete tcti_;
    delete tpm_;
    created_ = nullptr;
    tcti_ = nullptr;
    tpm_ = nullptr;
  }
  void SetUp() override {
    if (std::string missing = ktarn::testing::software_tpm_missing(); !missing.empty()) {
      GTEST_SKIP() << "no software TPM: " << missing;
    }
    ASSERT_TRUE(tpm_->running());
    ASSERT_NE(created_, nullptr) << "the TPM made no key";
  }

  static const CreatedTpmKey& created() { return *created_; }

  static SoftwareTpm* tpm_;
  static ScopedTcti* tcti_;
  static CreatedTpmKey* created_;
};

SoftwareTpm* TpmKeyTest::tpm_ = nullptr;
ScopedTcti* TpmKeyTest::tcti_ = nullptr;
CreatedTpmKey* TpmKeyTest::created_ = nullptr;

TEST_F(TpmKeyTest, CreatedKeySignsAndLoadsBackAsTheSameKey) {
  const Bytes der = public_der(*created().key.key());
  ASSERT_FALSE(der.empty());
  const Pkey half = *tpm_public_half(*created().key.key());
  EXPECT_EQ(key_size_in_bits(*half), 2048);
  BIGNUM* exponent = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(half.get(), OSSL_PKEY_PARAM_RSA_E, &exponent), 1);
  EXPECT_EQ(BN_get_word(exponent), 65537u);
  BN_free(exponent);

  const auto signature = sign(created().key);
  ASSERT_TRUE(signature);
  EXPECT_EQ(signature->size(), 256u);
  EXPECT_TRUE(verifies(der, kDigest, *signature));

  // Another context, as another process would have, loads the stored blob as the same key.
  TpmKeys elsewhere;
  auto loaded = elsewhere.load(created().blob);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(public_der(*loaded->key()), der);
  EXPECT_EQ(sign(*loaded), signature);  // PKCS #1 v1.5 is deterministic
  EXPECT_EQ(provider_encoding(*loaded->key()), created().blob) << "not the provider's stored form";
}

// A new key is exempt from lockout and is otherwise what the provider makes: the same attributes
// but that one, the same algorithms and parameters; only the modulus differs.
TEST_F(TpmKeyTest, ANewKeyIsTheProvidersButExemptFromLockout) {
  constexpr std::uint32_t kNoDictionaryAttack = 0x400;
  constexpr std::size_t kAttributesAt = 6;
  constexpr std::size_t kModulusSize = 256;
  const Bytes theirs = provider_made_tpm_key(2048);
  ASSERT_FALSE(theirs.empty());
  const auto made_attributes = object_attributes(created().blob);
  const auto their_attributes = object_attributes(theirs);
  ASSERT_TRUE(made_attributes && their_attributes);
  EXPECT_EQ(*their_attributes & kNoDictionaryAttack, 0u);
  EXPECT_EQ(*made_attributes, *their_attributes | kNoDictionaryAttack);
  auto ours_apart = *public_area(created().blob);
  auto theirs_apart = *public_area(theirs);
  ASSERT_EQ(ours_apart.size(), theirs_apart.size());
  ASSERT_GT(ours_apart.size(), kAttributesAt + 4 + kModulusSize);
  for (Bytes* area : {&ours_apart, &theirs_apart}) {
    std::fill_n(area->begin() + kAttributesAt, 4, 0);
    std::fill_n(area->end() - kModulusSize, kModulusSize, 0);
  }
  EXPECT_EQ(ours_apart, theirs_apart);
}

TEST_F(TpmKeyTest, BlobHoldsNoPrivateKey) {
  const Bytes& blob = created().blob;
  const std::string_view text(reinterpret_cast<const char*>(blob.data()), blob.size());
  EXPECT_EQ(text.find("PRIVATE KEY"), std::string_view::npos);
  const unsigned char* cursor = blob.data();
  EVP_PKEY* decoded = d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(blob.size()));
  EXPECT_EQ(decoded, nullptr) << "OpenSSL reads the blob as a private key";
  EVP_PKEY_free(decoded);
  cursor = blob.data();
  PKCS8_PRIV_KEY_INFO* info =
      d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(blob.size()));
  EXPECT_EQ(info, nullptr) << "the blob is a PKCS #8 private key";
  PKCS8_PRIV_KEY_INFO_free(info);
  EXPECT_FALSE(holds_private_half(blob, **tpm_public_half(*created().key.key())));
}

// The check above finds a private key that is there: a software key's PKCS #1 form.
TEST_F(TpmKeyTest, PrivateHalfCheckFindsAClearKey) {
  Pkey software = *generate_rsa_key(2048);
  ASSERT_TRUE(software);
  const SecretBytes clear = *encode_private_key(*software);
  EXPECT_TRUE(holds_private_half(Bytes(clear.view().begin(), clear.view().end()), *software));
}

TEST_F(TpmKeyTest, AnotherTpmRefusesTheBlob) {
  SoftwareTpm other;
  ASSERT_TRUE(other.running());
  ScopedTcti pointed(other.tcti());
  TpmKeys keys;
  ASSERT_TRUE(keys.reachable());
  auto loaded = keys.load(created().blob);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error(), TpmFailure::kRefused);
}

TEST_F(TpmKeyTest, BlobsThatAreNotThisTpmsKeyAreRefused) {
  Bytes flipped = created().blob;
  flipped[flipped.size() - 40] ^= 0x01;  // inside the wrapped private part
  Bytes truncated(created().blob.begin(), created().blob.end() - 1);
  Bytes trailing = created().blob;
  trailing.push_back(0);
  Pkey software = *generate_rsa_key(2048);
  const SecretBytes pkcs1 = *encode_private_key(*software);
  Bytes pkcs8;
  if (PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(software.get()); info != nullptr) {
    unsigned char* der = nullptr;
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
    if (length > 0) pkcs8.assign(der, der + length);
    OPENSSL_clear_free(der, length > 0 ? static_cast<std::size_t>(length) : 0);
    PKCS8_PRIV_KEY_INFO_free(info);
  }
  ASSERT_FALSE(pkcs8.empty());
  struct Case {
    const char* why;
    Bytes blob;
  };
  const Case cases[] = {
      {"empty", {}},
      {"one byte short", truncated},
      {"a trailing byte", trailing},
      {"a bit flipped in the wrapped private part", flipped},
      {"a software key's PKCS #1 DER", Bytes(pkcs1.view().begin(), pkcs1.view().end())},
      {"a software key's PKCS #8 DER", pkcs8},
      {"not DER at all", Bytes(64, 0x30)},
  };
  TpmKeys keys;
  for (const Case& test : cases) {
    auto loaded = keys.load(test.blob);
    ASSERT_FALSE(loaded) << test.why;
    EXPECT_EQ(loaded.error(), TpmFailure::kRefused) << test.why;
  }
  EXPECT_TRUE(keys.load(created().blob)) << "a good blob after the bad ones";
}

TEST_F(TpmKeyTest, NoTpmListeningIsReportedUnreachable) {
  std::string tcti;
  {
    SoftwareTpm gone;
    ASSERT_TRUE(gone.running());
    tcti = gone.tcti();
  }
  ScopedTcti pointed(tcti);
  TpmKeys keys;
  EXPECT_FALSE(keys.reachable());
  auto created = keys.create_rsa_key(2048);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error(), TpmFailure::kUnreachable);
  auto loaded = keys.load(TpmKeyTest::created().blob);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error(), TpmFailure::kUnreachable);
}

// Without the variable the TSS would fall back to a simulator on its well-known loopback port,
// which any local user can open; only the kernel's resource manager may stand in for the TPM.
// An empty variable counts as none.
TEST_F(TpmKeyTest, WithoutTheVariableASimulatorOnTheLoopbackIsNeverUsed) {
  if (std::filesystem::exists("/dev/tpmrm0")) GTEST_SKIP() << "this machine has a TPM";
  constexpr int kSimulatorPort = 2321;
  SoftwareTpm squatter(kSimulatorPort);
  if (!squatter.running()) GTEST_SKIP() << "the simulator port is busy";
  for (const bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "the variable empty" : "the variable unset");
    ScopedTcti restored_afterwards(squatter.tcti());
    if (empty) {
      ::setenv("TPM2OPENSSL_TCTI", "", 1);
    } else {
      ::unsetenv("TPM2OPENSSL_TCTI");
    }
    TpmKeys keys;
    EXPECT_FALSE(keys.reachable());
    auto created = keys.create_rsa_key(2048);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error(), TpmFailure::kUnreachable);
  }
}

// A TPM that stops answering is reported as such, and one that answers later is used again.
TEST_F(TpmKeyTest, TpmStoppedAfterUseIsUnreachableUntilOneAnswersAgain) {
  TpmKeys keys;
  {
    SoftwareTpm leaving;
    ASSERT_TRUE(leaving.running());
    ScopedTcti pointed(leaving.tcti());
    ASSERT_TRUE(keys.reachable());
    leaving.stop();
    auto loaded = keys.load(created().blob);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error(), TpmFailure::kUnreachable);
    EXPECT_FALSE(keys.reachable());
  }
  ASSERT_TRUE(keys.reachable());  // the suite's TPM, named again by the variable
  auto loaded = keys.load(created().blob);
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(sign(*loaded));
}

enum class Use { kCreate, kLoad, kSign };

// Nothing when the TPM did what was asked with the key (made in it, with its blob); otherwise
// why not.
std::optional<TpmFailure> attempt(TpmKeys& keys, const CreatedTpmKey& with, Use use) {
  switch (use) {
    case Use::kCreate: {
      auto made = keys.create_rsa_key(2048);
      return made ? std::nullopt : std::optional(made.error());
    }
    case Use::kLoad: {
      auto loaded = keys.load(with.blob);
      return loaded ? std::nullopt : std::optional(loaded.error());
    }
    case Use::kSign: {
      auto made = keys.sign(*with.key.signer(), with.blob, kDigest);
      if (!made) return made.error();
      return verifies(public_der(*with.key.key()), kDigest, made->signature)
                 ? std::nullopt
                 : std::optional(TpmFailure::kFailed);
    }
  }
  return TpmFailure::kFailed;
}

// A stopped TPM, or a stopped resource manager in front of it, holds no call past its bound, and
// the first call once it goes on succeeds. (Behind a manager, as the kernel's is for a real TPM,
// since what a cut call left loaded is flushed only by one.)
TEST_F(TpmKeyTest, ACallToAStoppedTpmStackIsCutAtItsBoundAndTheNextOneSucceeds) {
  if (std::string missing = ktarn::testing::resource_manager_missing(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  SoftwareTpm tpm;
  ktarn::testing::TpmResourceManager manager(tpm);
  ASSERT_TRUE(manager.running());
  ktarn::testing::ScopedVariable bus("DBUS_SESSION_BUS_ADDRESS", manager.bus_address());
  ScopedTcti pointed(manager.tcti());
  constexpr TpmBounds kShort{std::chrono::seconds(4), std::chrono::seconds(2)};
  TpmKeys keys(kShort);
  auto made = keys.create_rsa_key(2048);
  ASSERT_TRUE(made);
  struct Case {
    const char* what;
    bool manager_stopped;  // otherwise the TPM behind it
    Use use;
    std::chrono::milliseconds bound;
  };
  const Case cases[] = {
      {"the TPM stopped while making a key", false, Use::kCreate, kShort.creation},
      {"the TPM stopped while loading a key", false, Use::kLoad, kShort.call},
      {"the TPM stopped while signing", false, Use::kSign, kShort.call},
      {"the manager stopped while making a key", true, Use::kCreate, kShort.creation},
      {"the manager stopped while signing", true, Use::kSign, kShort.call},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    auto loaded = keys.load(made->blob);
    ASSERT_TRUE(loaded);
    const CreatedTpmKey with{std::move(*loaded), made->blob};
    test.manager_stopped ? manager.pause() : tpm.pause();
    const auto start = std::chrono::steady_clock::now();
    const auto failed = attempt(keys, with, test.use);
    const auto took = std::chrono::steady_clock::now() - start;
    test.manager_stopped ? manager.resume() : tpm.resume();
    EXPECT_EQ(failed, TpmFailure::kUnreachable);
    EXPECT_LT(took, test.bound + std::chrono::seconds(2));
    EXPECT_EQ(attempt(keys, with, test.use), std::nullopt) << "once it goes on";
  }
}

// A TPM that dies and comes back while a key is being made, or between uses, serves the next
// call of the same process: the dead connection is made again, never kept.
TEST_F(TpmKeyTest, ATpmThatDiedAndCameBackServesTheNextCall) {
  using std::chrono::milliseconds;
  struct Case {
    const char* what;
    Use use;
    milliseconds death;  // after a key's creation began; zero: between calls
  };
  const Case cases[] = {
      {"killed 50 ms into making a key", Use::kCreate, milliseconds(50)},
      {"killed 125 ms into making a key", Use::kCreate, milliseconds(125)},
      {"killed before making a key", Use::kCreate, milliseconds(0)},
      {"killed before loading a key", Use::kLoad, milliseconds(0)},
      {"killed before signing", Use::kSign, milliseconds(0)},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    SoftwareTpm dying;
    ASSERT_TRUE(dying.running());
    ScopedTcti pointed(dying.tcti());
    TpmKeys keys;
    auto made = keys.create_rsa_key(2048);
    ASSERT_TRUE(made);
    if (test.death == milliseconds(0)) {
      ASSERT_TRUE(dying.restart());
    } else {
      std::thread killer([&] {
        std::this_thread::sleep_for(test.death);
        dying.restart();
      });
      attempt(keys, *made, Use::kCreate);
      killer.join();
      ASSERT_TRUE(dying.running());
    }
    EXPECT_EQ(attempt(keys, *made, test.use), std::nullopt) << "the first call after it came back";
  }
}

// A TPM whose slots for loaded keys are all taken says so; that is not a key it refuses, and the
// key works once the slots are flushed (here by restarting the TPM, which has no resource manager
// in front of it to flush what a failed load left behind).
TEST_F(TpmKeyTest, AFullTpmIsToldApartFromAKeyItRefuses) {
  SoftwareTpm full;
  ASSERT_TRUE(full.running());
  ScopedTcti pointed(full.tcti());
  TpmKeys keys;
  auto made = keys.create_rsa_key(2048);
  ASSERT_TRUE(made);
  std::vector<DecodedKey> held;
  std::optional<TpmFailure> failed;
  for (int i = 0; i < 16 && !failed; ++i) {
    auto loaded = keys.load(made->blob);
    if (loaded) {
      held.push_back(std::move(*loaded));
    } else {
      failed = loaded.error();
    }
  }
  ASSERT_TRUE(failed) << "the TPM took " << held.size() << " keys";
  EXPECT_EQ(*failed, TpmFailure::kNoRoom);
  auto another = keys.create_rsa_key(2048);
  ASSERT_FALSE(another);
  EXPECT_EQ(another.error(), TpmFailure::kNoRoom);
  held.clear();
  ASSERT_TRUE(full.restart());
  EXPECT_EQ(attempt(keys, *made, Use::kSign), std::nullopt) << "once the slots are flushed";
}

// Unorderly restarts (crashes, power losses) after a key under dictionary-attack protection was
// used put the TPM into lockout. A key made before keys were exempt is then reported locked out,
// not refused; a key made now still signs, and new keys are still made.
TEST_F(TpmKeyTest, LockoutStopsOnlyKeysMadeBeforeTheExemption) {
  SoftwareTpm crashing;
  ASSERT_TRUE(crashing.running());
  ScopedTcti pointed(crashing.tcti());
  TpmKeys keys;
  auto exempt = keys.create_rsa_key(2048);
  ASSERT_TRUE(exempt);
  const Bytes old_blob = provider_made_tpm_key(2048);
  auto old_key = keys.load(old_blob);
  ASSERT_TRUE(old_key);
  const CreatedTpmKey old{std::move(*old_key), old_blob};
  std::optional<TpmFailure> failed;
  for (int restart = 0; restart < 6 && !failed; ++restart) {
    failed = attempt(keys, old, Use::kSign);
    if (!failed) {
      ASSERT_TRUE(crashing.restart());
    }
  }
  ASSERT_TRUE(failed) << "no lockout";
  EXPECT_EQ(*failed, TpmFailure::kLockedOut);
  EXPECT_TRUE(keys.load(old.blob)) << "the old key is still there to read";
  EXPECT_EQ(attempt(keys, *exempt, Use::kSign), std::nullopt) << "a key made now, in lockout";
  EXPECT_EQ(attempt(keys, *exempt, Use::kCreate), std::nullopt) << "a key made in lockout";
  EXPECT_EQ(attempt(keys, old, Use::kSign), TpmFailure::kLockedOut) << "still locked out";
}

// Standard error, as the TSS beneath the provider would use it on every failure, stays empty.
TEST_F(TpmKeyTest, FailuresWriteNothingToStandardError) {
  std::FILE* capture = std::tmpfile();
  ASSERT_NE(capture, nullptr);
  std::fflush(stderr);
  const int saved = ::dup(2);
  ::dup2(::fileno(capture), 2);
  {
    SoftwareTpm other;
    ScopedTcti pointed(other.tcti());
    TpmKeys keys;
    EXPECT_FALSE(keys.load(created().blob));  // refused by another TPM
    other.stop();
    EXPECT_FALSE(keys.load(created().blob));  // unreachable
    EXPECT_FALSE(keys.create_rsa_key(2048));
  }
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  EXPECT_EQ(std::ftell(capture), 0L);
  std::fclose(capture);
}

}  // namespace
}  // namespace ktarn::platform::software
