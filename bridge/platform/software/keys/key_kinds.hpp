// The storage kinds a keychain's items may name, and one instance of each for a keychain to use.
// The table in key_kinds.cpp is the only list of them: a kind is added by its file and its row.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/platform/software/keys/key_kind.hpp"

namespace ktarn::platform::software {

// The kind of a key made outside any keychain, and of every key an item that does not state its
// storage holds (keychains of the first layout): an RSA key held in this process.
inline constexpr std::string_view kSoftwareKeys = "software";
// The kind of keys sealed under a wrapping key the desktop's Secret Service keeps.
inline constexpr std::string_view kSealedKeys = "sealed";

// Whether an item's storage attribute may hold the word: it names a kind in the table.
bool is_key_kind(std::string_view stored_as);

// Where the keys of a keychain about to be made will go: the kind's word, the identity the keychain
// records for it (empty when the kind needs none), and what undoes the kind's preparations (a
// wrapping key stored for nothing) when the keychain is not made with it after all, because
// another process made it first or the file could not be written.
struct NewKeyStorage {
  std::string kind{kSoftwareKeys};
  std::string identity;
  std::function<void()> abandon;
};

// One instance of every kind, made together and kept while this object lives, since a kind may
// keep what is expensive to set up again (a TPM's provider).
class KeyKinds {
 public:
  KeyKinds();
  KeyKinds(KeyKinds&&) noexcept;
  KeyKinds& operator=(KeyKinds&&) noexcept;
  ~KeyKinds();

  // The kind the word names; errSecInvalidKeychain for a word that names none, which no keychain
  // can have written.
  StatusOr<KeyKind*> kind(std::string_view stored_as);
  // A new keychain's keys going to the kind the word names, readied for it now; why not when the
  // kind cannot make keys now.
  StatusOr<NewKeyStorage> bind(std::string_view stored_as);
  // Where a new keychain's keys go when nobody chooses: the first kind in the table's order that
  // can be readied for it now.
  NewKeyStorage bind_first();

 private:
  std::vector<std::unique_ptr<KeyKind>> kinds_;  // in the table's order
};

}  // namespace ktarn::platform::software
