// Where a key lives, and what that means for making, loading and using it. Each storage kind (an
// RSA key held in this process, one sealed under a wrapping key the desktop's Secret Service
// keeps, a key inside a TPM) is one implementation of KeyKind in a file of its own and one row of
// the table in key_kinds.cpp, which finds it by the word an item's storage attribute
// (kSecAttrTokenID) holds; nothing else tells the kinds apart. A kind reports every failure as a
// keychain status code, mapping its own failures to them itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bridge/platform/software/keys/decoded_key_cache.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"
#include "bridge/platform/status_codes.hpp"

namespace ktarn::platform::software {

// A key just made: the key with its signing context, and what the keychain stores to load it
// again.
struct NewKey {
  DecodedKey key;
  SecretBytes stored;
};

// A signature, and the key loaded again to make it when the one asked for could not sign (its
// device gone and back since it was loaded); the keychain keeps that key in place of the old one.
struct KeySignature {
  Bytes signature;
  std::optional<DecodedKey> reloaded;
};

// Where an item is kept: the identity its keychain recorded for the keychain's kind when it was
// made (empty for a kind that records none) and the item's row. A kind may bind what it stores to
// the place, so that a stored key copied to another row or file does not load there.
struct KeyPlace {
  std::string_view keychain;
  std::int64_t row = 0;
};

// What the keychain does with a stored key of the kind that does not load.
enum class WhenUnloadable {
  // The stored bytes are the key, and they are damaged for good: the key is handed out so its
  // attributes can be read, and every use of it fails.
  kHandOutUnusable,
  // The key lives elsewhere and may load again later (its device back): the lookup fails with
  // the reason.
  kFailLookup,
};

// What the keychain does after a key of the kind failed to sign.
enum class AfterFailedUse {
  kKeepLoaded,
  // Whatever holds the kind's keys may have gone since they were loaded: the kind's kept keys
  // are let go, so that the next use loads the key again and reports why it cannot.
  kLoadAgain,
};

class KeyKind {
 public:
  virtual ~KeyKind() = default;

  // Readies a new keychain for keys of the kind, when a keychain is made to keep them: the
  // identity the keychain records for its kind (empty when the kind needs none), or why keys of
  // the kind cannot be made now.
  virtual StatusOr<std::string> bind_new_keychain() = 0;
  // Undoes bind_new_keychain for a keychain that was then not made with its identity.
  virtual void unbind_keychain(std::string_view identity) = 0;
  // Whether the keys of a keychain that recorded the identity can be used now;
  // errSecInteractionNotAllowed while the kind withholds them, as for a locked keychain.
  virtual OSStatus check_usable(std::string_view keychain) = 0;

  // A new RSA key of the given size, exponent 65537, with what create made of it to store.
  virtual StatusOr<NewKey> create(int bits) = 0;
  // What the keychain writes for a key made by create, once the row it goes to is known (inside
  // the transaction that writes it).
  virtual StatusOr<SecretBytes> stored_form(const SecretBytes& made, const KeyPlace& place) = 0;
  // The key a stored form stands for, with its signing context.
  virtual StatusOr<DecodedKey> load(const SecretBytes& stored, const KeyPlace& place) = 0;
  // RSASSA-PKCS1-v1_5 over the SHA-256 digest with a loaded key's signer; stored is what the key
  // was loaded from, for a kind that may have to load it again to sign.
  virtual StatusOr<KeySignature> sign(Sha256Signer& signer, const SecretBytes& stored,
                                      std::span<const std::uint8_t> digest) = 0;

  virtual WhenUnloadable when_unloadable() const = 0;
  virtual AfterFailedUse after_failed_use() const = 0;
  // How many keys of the kind the decoded-key cache may keep loaded at once.
  virtual std::size_t loaded_limit() const = 0;
};

}  // namespace ktarn::platform::software
