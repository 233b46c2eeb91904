#include "bridge/platform/software/keys/key_kinds.hpp"

#include <array>

namespace ktarn::platform::software {

// Each kind's file defines its maker.
std::unique_ptr<KeyKind> make_tpm_key_kind();
std::unique_ptr<KeyKind> make_software_key_kind();

namespace {

struct KeyKindRow {
  std::string_view stored_as;  // the storage attribute's word, as keychains on disk hold it
  std::unique_ptr<KeyKind> (*make)();
};

// In the order a new keychain prefers them when nobody chooses; software keys can always be made,
// so they come last.
constexpr auto kKeyKinds = std::to_array<KeyKindRow>({
    {"tpm", make_tpm_key_kind},
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

std::string KeyKinds::first_that_can_make_keys() {
  for (std::size_t i = 0; i < kKeyKinds.size(); ++i) {
    if (kinds_[i]->can_make_keys()) return std::string(kKeyKinds[i].stored_as);
  }
  return std::string(kSoftwareKeys);
}

}  // namespace ktarn::platform::software
