#include "e2e/key_storage.hpp"

#include "e2e/keychain_tool.hpp"

namespace ktarn::e2e {

namespace {
constexpr const char* kTctiVariable = "TPM2OPENSSL_TCTI";
constexpr const char* kBusVariable = "DBUS_SESSION_BUS_ADDRESS";
}  // namespace

std::string storage_test_name(const ::testing::TestParamInfo<KeyStorage>& info) {
  if (info.param == KeyStorage::kSealed) return "Sealed";
  return info.param == KeyStorage::kTpm ? "Tpm" : "Software";
}

StorageUnderTest::StorageUnderTest(KeyStorage storage) : storage_(storage) {
  if (storage_ == KeyStorage::kSealed) {
    missing_ = ktarn::testing::private_keyring_missing();
    if (!missing_.empty()) return;
    keyring_ = std::make_unique<ktarn::testing::PrivateKeyring>();
    if (!keyring_->running()) {
      missing_ = "the private keyring did not start";
      return;
    }
    bus_ = std::make_unique<ktarn::testing::ScopedVariable>(kBusVariable, keyring_->bus_address());
    return;
  }
  if (storage_ != KeyStorage::kTpm) return;
  missing_ = ktarn::testing::software_tpm_missing();
  if (missing_.empty()) missing_ = ktarn::testing::resource_manager_missing();
  if (!missing_.empty()) return;
  tpm_ = std::make_unique<ktarn::testing::SoftwareTpm>();
  if (tpm_->running()) manager_ = std::make_unique<ktarn::testing::TpmResourceManager>(*tpm_);
  if (!manager_ || !manager_->running()) {
    missing_ = "the software TPM or its resource manager did not start";
    return;
  }
  bus_ = std::make_unique<ktarn::testing::ScopedVariable>(kBusVariable, manager_->bus_address());
  tcti_ = std::make_unique<ktarn::testing::ScopedTcti>(manager_->tcti());
}

std::vector<EnvironmentChange> StorageUnderTest::environment() const {
  if (keyring_) return {{kTctiVariable, std::nullopt}, {kBusVariable, keyring_->bus_address()}};
  if (!manager_) return {{kTctiVariable, std::nullopt}};
  return {{kTctiVariable, manager_->tcti()}, {kBusVariable, manager_->bus_address()}};
}

std::vector<std::string> StorageUnderTest::tool_environment() const {
  std::vector<std::string> variables;
  for (const EnvironmentChange& change : environment()) {
    if (!change.value) continue;
    std::string variable = change.name;
    variable += '=';
    variable += *change.value;
    variables.push_back(std::move(variable));
  }
  return variables;
}

ProcessOptions StorageUnderTest::companion_options(const TemporaryHome& home) const {
  ProcessOptions options;
  options.environment = environment();
  options.environment.push_back(home.environment());
  options.environment.push_back({"DISPLAY", std::nullopt});
  return options;
}

std::string StorageUnderTest::make_keychain(const TemporaryHome& home) const {
  const char* kind = storage_ == KeyStorage::kTpm      ? "--tpm"
                     : storage_ == KeyStorage::kSealed ? "--sealed"
                                                       : "--software";
  const ToolResult made = run_tool(home.path(), home, {"create", kind}, tool_environment());
  return made.exit_status == 0 ? std::string() : made.err;
}

}  // namespace ktarn::e2e
