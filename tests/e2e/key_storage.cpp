#include "e2e/key_storage.hpp"

#include "e2e/keychain_tool.hpp"

namespace ktarn::e2e {

namespace {
constexpr const char* kTctiVariable = "TPM2OPENSSL_TCTI";
}  // namespace

std::string storage_test_name(const ::testing::TestParamInfo<KeyStorage>& info) {
  return info.param == KeyStorage::kTpm ? "Tpm" : "Software";
}

StorageUnderTest::StorageUnderTest(KeyStorage storage) : storage_(storage) {
  if (storage_ != KeyStorage::kTpm) return;
  missing_ = ktarn::testing::software_tpm_missing();
  if (!missing_.empty()) return;
  tpm_ = std::make_unique<ktarn::testing::SoftwareTpm>();
  if (!tpm_->running()) missing_ = "the software TPM did not start";
}

EnvironmentChange StorageUnderTest::tcti() const {
  if (!tpm_) return {kTctiVariable, std::nullopt};
  return {kTctiVariable, tpm_->tcti()};
}

std::vector<std::string> StorageUnderTest::tool_environment() const {
  if (!tpm_) return {};
  std::string variable = kTctiVariable;
  variable += '=';
  variable += tpm_->tcti();
  return {variable};
}

std::string StorageUnderTest::make_keychain(const TemporaryHome& home) const {
  const ToolResult made =
      run_tool(home.path(), home, {"create", storage_ == KeyStorage::kTpm ? "--tpm" : "--software"},
               tool_environment());
  return made.exit_status == 0 ? std::string() : made.err;
}

}  // namespace ktarn::e2e
