// Creating a key from creation parameters: the RSA key of the requested size (exponent 65537),
// the private key's attributes from the parameters (the nested private-key attributes taking
// precedence over the shared ones), and, for a permanent key, its item stored in the keychain
// named by kSecUseKeychain within one write transaction, unless another process stored a key for
// the same tag first, which is then the key created. A stored key is made by the storage kind
// that keychain names for its new keys, and by no other instead; a key not stored is a software
// key. The slow key generation runs before that transaction, so other processes are not kept
// waiting for it; what the kind stores for the key (a sealed key's blob, bound to its row) is
// made inside it, so a key is stored only while its kind can use it at that moment.
#pragma once

#include "bridge/platform/attributes.hpp"
#include "bridge/platform/software/keychain/key_item.hpp"
#include "bridge/platform/software/keychain/keychain_database.hpp"
#include "bridge/platform/software/keys/key_kinds.hpp"

namespace ktarn::platform::software {

struct CreatedKey {
  KeyItem item;
  std::string keychain_identity;  // what the item's keychain recorded for its kind
  DecodedKey key;  // none when the key found stored in its place is to be used instead
  KeyKind* kind;   // the kind that made key
};

// Sizes outside this range are refused with errSecKeySizeNotAllowed.
inline constexpr std::int64_t kMinimumKeyBits = 1024;
inline constexpr std::int64_t kMaximumKeyBits = 4096;

StatusOr<CreatedKey> create_key(const Attributes& parameters, KeyKinds& kinds);

// Stores a new item in an unlocked keychain that passes its integrity check, giving it its id;
// errSecInteractionNotAllowed when the keychain is locked or its kind withholds its keys. The
// item holds its key as its kind made it, and then as the kind stores it at its row. The check for
// an existing key runs inside the write transaction, so of processes racing to create the key for
// one name exactly one stores it: when a private key that a lookup for the item's tag would find is
// already there, nothing is stored, item becomes that key's item and the status is
// errSecDuplicateItem.
OSStatus store_item(KeychainDatabase& database, KeyItem& item, KeyKinds& kinds);

// Whether the keys of a keychain can be used now, inside the caller's transaction: the keychain
// is unlocked and its kind does not withhold them; the identity the keychain recorded for its
// kind.
StatusOr<std::string> check_usable(KeychainDatabase& database, KeyKinds& kinds);

}  // namespace ktarn::platform::software
