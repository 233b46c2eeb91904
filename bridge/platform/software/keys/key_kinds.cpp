#include "bridge/platform/software/keys/key_kinds.hpp"

#include <array>

namespace ktarn::platform::software {

// Each kind's file defines its maker.
std::unique_ptr<KeyKind> make_tpm_key_kind();
std::unique_ptr<KeyKind> make_sealed_key_kind();
std::unique_ptr<KeyKind> make_software_key_kind();

namespace {

struct KeyKindRow {
  std::string_view stored_as;  // the storage attribute's word, as keychains on disk hold it
  std::unique_ptr<KeyKind> (*make)();
};

// In the order a new keychain prefers them when nobody chooses: a key the TPM holds, else one
// sealed under a wrapping key the desktop keeps; plain software keys can always be made, so they
// come last.
constexpr auto kKeyKinds = std::to_array<KeyKindRow>({
    {"tpm", make_tpm_key_kind},
    {kSealedKeys, make_sealed_key_kind},
    {kSoftwareKeys, make_software_key_kind},
});

}  // namespace

bool is_key_kind(std::string_view stored_as) {
  for (const KeyKindRow& row : kKeyKinds) {
    if (row.stored_as == stored_as) return true;
  }
  return false;
}

KeyKinds::KeyKinds() {
  for (const KeyKindRow& row : kKeyKinds) kinds_.push_back(row.make());
}
KeyKinds::KeyKinds(KeyKinds&&) noexcept = default;
KeyKinds& KeyKinds::operator=(KeyKinds&&) noexcept = default;
KeyKinds::~KeyKinds() = default;

StatusOr<KeyKind*> KeyKinds::kind(std::string_view stored_as) {
  for (std::size_t i = 0; i < kKeyKinds.size(); ++i) {
    if (kKeyKinds[i].stored_as == stored_as) return kinds_[i].get();
  }
  return Unexpected(errSecInvalidKeychain);
}

StatusOr<NewKeyStorage> KeyKinds::bind(std::string_view stored_as) {
  auto named = kind(stored_as);
  if (!named) return Unexpected(named.error());
  auto identity = (*named)->bind_new_keychain();
  if (!identity) return Unexpected(identity.error());
  NewKeyStorage storage{std::string(stored_as), *identity, nullptr};
  if (!identity->empty()) {
    storage.abandon = [kind = *named, identity = *identity] { kind->unbind_keychain(identity); };
  }
  return storage;
}

NewKeyStorage KeyKinds::bind_first() {
  for (const KeyKindRow& row : kKeyKinds) {
    if (auto storage = bind(row.stored_as)) return std::move(*storage);
  }
  return NewKeyStorage{};
}

}  // namespace ktarn::platform::software
