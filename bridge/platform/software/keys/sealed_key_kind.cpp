// Sealed keys: RSA keys this process decodes, whose PKCS #1 DER the keychain file holds only
// sealed to its item (key_sealing.hpp) under the keychain's wrapping key, which lives in the
// user's Secret Service (secret_service.hpp). A keychain of the kind records the identity its
// wrapping key is stored under. While that key is withheld (its collection locked, the service
// not answering, the key gone) the keychain's keys are withheld as a locked keychain's are: no
// key is loaded, made or removed, and a sealed keychain never falls back to plain keys.
#include <limits>
#include <memory>
#include <utility>

#include "bridge/platform/software/keys/key_kind.hpp"
#include "bridge/platform/software/keys/key_sealing.hpp"
#include "bridge/platform/software/keys/secret_service.hpp"

namespace ktarn::platform::software {

std::unique_ptr<KeyKind> make_software_key_kind();

namespace {

// Once opened, a sealed key is a software key: making, decoding and signing are that kind's.
class SealedKeyKind final : public KeyKind {
 public:
  StatusOr<std::string> bind_new_keychain() override {
    std::string identity = new_sealing_identity();
    if (identity.empty()) return Unexpected(errSecInternalComponent);
    auto stored = wrapping_keys_.store_new_wrapping_key(identity);
    if (!stored) return Unexpected(status_from_seal_failure(stored.error()));
    return identity;
  }

  void unbind_keychain(std::string_view identity) override {
    wrapping_keys_.remove_wrapping_key(identity);
  }

  OSStatus check_usable(std::string_view keychain) override {
    auto key = wrapping_key(keychain);
    return key ? errSecSuccess : key.error();
  }

  // Made as a software key is; sealed only once its row is known.
  StatusOr<NewKey> create(int bits) override { return plain_->create(bits); }

  StatusOr<SecretBytes> stored_form(const SecretBytes& made, const KeyPlace& place) override {
    auto key = wrapping_key(place.keychain);
    if (!key) return Unexpected(key.error());
    auto sealed =
        seal_secret(key->view(), made.view(), sealed_item_identity(place.keychain, place.row));
    if (!sealed) return Unexpected(errSecInternalComponent);
    return SecretBytes(*sealed);
  }

  // A blob that does not open under the keychain's wrapping key for its own row is damaged, or
  // was moved from another row or file: errSecDecode, and the item is left where it is.
  StatusOr<DecodedKey> load(const SecretBytes& stored, const KeyPlace& place) override {
    auto key = wrapping_key(place.keychain);
    if (!key) return Unexpected(key.error());
    auto der =
        open_sealed(key->view(), stored.view(), sealed_item_identity(place.keychain, place.row));
    if (!der) return Unexpected(errSecDecode);
    return plain_->load(*der, place);
  }

  StatusOr<KeySignature> sign(Sha256Signer& signer, const SecretBytes& stored,
                              std::span<const std::uint8_t> digest) override {
    return plain_->sign(signer, stored, digest);
  }

  // Withheld now, it may be given again once the collection is unlocked.
  WhenUnloadable when_unloadable() const override { return WhenUnloadable::kFailLookup; }
  AfterFailedUse after_failed_use() const override { return AfterFailedUse::kKeepLoaded; }
  std::size_t loaded_limit() const override { return std::numeric_limits<std::size_t>::max(); }

 private:
  // A keychain that says sealed without naming its wrapping key is damaged, never taken for one
  // that needs none.
  StatusOr<SecretBytes> wrapping_key(std::string_view keychain) {
    if (keychain.empty()) return Unexpected(errSecInvalidKeychain);
    auto key = wrapping_keys_.wrapping_key(keychain);
    if (!key) return Unexpected(status_from_seal_failure(key.error()));
    return std::move(*key);
  }

  std::unique_ptr<KeyKind> plain_ = make_software_key_kind();
  WrappingKeyStore wrapping_keys_;
};

}  // namespace

std::unique_ptr<KeyKind> make_sealed_key_kind() {
  return std::make_unique<SealedKeyKind>();
}

}  // namespace ktarn::platform::software
