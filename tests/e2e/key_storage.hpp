// The two kinds of device key, for suites that run against both: the keychain is made in a
// throw-away home with ktarn-keychain create --software or --tpm, and a TPM keychain is served by
// a private software TPM behind a resource manager of its own (as the kernel's is for a real
// TPM, so that racing and killed companions share it soundly), which the companion and the tool
// reach through the provider's TCTI variable and the manager's bus. Both are also set in the test
// process itself for as long as the storage lives, so that every child started meanwhile reaches
// the same TPM. A software keychain's processes have that variable removed, so nothing of the
// test's own environment decides where keys go. A sealed keychain (create --sealed) keeps its
// wrapping key in a private keyring of its own on a private bus, which the companion and the tool
// are pointed at (and the test process too, while the storage lives).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/companion_process.hpp"
#include "support/private_keyring.hpp"
#include "support/software_tpm.hpp"

namespace ktarn::e2e {

enum class KeyStorage { kSoftware, kTpm, kSealed };

// "Software", "Tpm" or "Sealed", for parameterized test names.
std::string storage_test_name(const ::testing::TestParamInfo<KeyStorage>& info);

class StorageUnderTest {
 public:
  // Starts a software TPM for kTpm, a private keyring for kSealed, when one can run here.
  explicit StorageUnderTest(KeyStorage storage);

  KeyStorage storage() const { return storage_; }
  // Why this storage cannot be tested on this machine (one line), or empty.
  const std::string& missing() const { return missing_; }
  // The TCTI setting and the manager's bus, or the TCTI's removal (with the keyring's bus for a
  // sealed keychain), for the companion and the tool.
  std::vector<EnvironmentChange> environment() const;
  std::vector<std::string> tool_environment() const;
  // Makes the home's login keychain with the tool; its failure line, or empty.
  std::string make_keychain(const TemporaryHome& home) const;
  // Options for a companion on the home, with this storage's environment and no display.
  ProcessOptions companion_options(const TemporaryHome& home) const;
  // Stops the software TPM, as a TPM that went away; its resource manager stays.
  void stop_tpm() {
    if (tpm_) tpm_->stop();
  }
  // The software TPM and its resource manager, for a test that kills, stops or restarts them;
  // a kTpm storage that is testable has both.
  ktarn::testing::SoftwareTpm& tpm() { return *tpm_; }
  ktarn::testing::TpmResourceManager& manager() { return *manager_; }
  // The keyring holding a sealed keychain's wrapping key; nullptr for the other kinds.
  ktarn::testing::PrivateKeyring* keyring() const { return keyring_.get(); }

 private:
  KeyStorage storage_;
  std::string missing_;
  std::unique_ptr<ktarn::testing::SoftwareTpm> tpm_;
  std::unique_ptr<ktarn::testing::TpmResourceManager> manager_;
  std::unique_ptr<ktarn::testing::PrivateKeyring> keyring_;
  std::unique_ptr<ktarn::testing::ScopedVariable> bus_;
  std::unique_ptr<ktarn::testing::ScopedTcti> tcti_;
};

// Skips the running test, with one line, when the storage cannot be tested here.
#define KTARN_SKIP_UNLESS_TESTABLE(storage)                                \
  do {                                                                     \
    if (!(storage).missing().empty()) GTEST_SKIP() << (storage).missing(); \
  } while (false)

inline const auto kBothStorages = ::testing::Values(KeyStorage::kSoftware, KeyStorage::kTpm);
inline const auto kEveryStorage =
    ::testing::Values(KeyStorage::kSoftware, KeyStorage::kTpm, KeyStorage::kSealed);

}  // namespace ktarn::e2e
