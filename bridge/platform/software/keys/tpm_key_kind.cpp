// TPM keys: RSA keys made inside a TPM, of which the keychain file holds only the TPM-wrapped
// blob (tpm_key.hpp); what the TPM reports is mapped by status_from_tpm_failure.
#include <memory>
#include <utility>

#include "bridge/platform/software/keys/key_kind.hpp"
#include "bridge/platform/software/keys/tpm_key.hpp"

namespace ktarn::platform::software {

namespace {

template <class T>
StatusOr<T> with_status(TpmResult<T> result) {
  if (!result) return Unexpected(status_from_tpm_failure(result.error()));
  return std::move(*result);
}

class TpmKeyKind final : public KeyKind {
 public:
  StatusOr<std::string> bind_new_keychain() override {
    if (!keys_.reachable()) return Unexpected(status_from_tpm_failure(TpmFailure::kUnreachable));
    return std::string();
  }
  void unbind_keychain(std::string_view /*identity*/) override {}
  OSStatus check_usable(std::string_view /*keychain*/) override { return errSecSuccess; }

  StatusOr<NewKey> create(int bits) override {
    auto created = keys_.create_rsa_key(bits);
    if (!created) return Unexpected(status_from_tpm_failure(created.error()));
    return NewKey{std::move(created->key), SecretBytes(created->blob)};
  }

  StatusOr<SecretBytes> stored_form(const SecretBytes& made, const KeyPlace& /*place*/) override {
    return made;
  }

  StatusOr<DecodedKey> load(const SecretBytes& stored, const KeyPlace& /*place*/) override {
    return with_status(keys_.load(stored.view()));
  }

  StatusOr<KeySignature> sign(Sha256Signer& signer, const SecretBytes& stored,
                              std::span<const std::uint8_t> digest) override {
    auto made = keys_.sign(signer, stored.view(), digest);
    if (!made) return Unexpected(status_from_tpm_failure(made.error()));
    return KeySignature{std::move(made->signature), std::move(made->reloaded)};
  }

  // A TPM that is away now, or cleared, may be back, or the key restored, later.
  WhenUnloadable when_unloadable() const override { return WhenUnloadable::kFailLookup; }
  AfterFailedUse after_failed_use() const override { return AfterFailedUse::kLoadAgain; }
  // A TPM has only a few slots for loaded keys, which other processes need as well.
  std::size_t loaded_limit() const override { return 1; }

 private:
  TpmKeys keys_;
};

}  // namespace

std::unique_ptr<KeyKind> make_tpm_key_kind() {
  return std::make_unique<TpmKeyKind>();
}

}  // namespace ktarn::platform::software
