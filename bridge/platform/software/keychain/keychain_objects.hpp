// The platform objects the software keychain hands out: an open keychain, a key (the private key
// of an item, or its public half) and the error object that accompanies a failed key operation.
// Each kind has its own type identifier, as the platform's types do.
#pragma once

#include <memory>
#include <utility>

#include "bridge/platform/keychain.hpp"
#include "bridge/platform/software/keychain/key_item.hpp"
#include "bridge/platform/software/keychain/keychain_database.hpp"
#include "bridge/platform/software/keys/decoded_key_cache.hpp"
#include "bridge/platform/software/keys/key_kind.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"

namespace ktarn::platform::software {

inline constexpr CFTypeID kKeychainTypeId = 0x4b430001;
inline constexpr CFTypeID kKeyTypeId = 0x4b430002;
inline constexpr CFTypeID kErrorTypeId = 0x4b430003;

// An open keychain; queries that name it share it. A read its status check left open ends with
// it at the latest, so no lock on the file outlives the use of the keychain.
class KeychainObject final : public Object {
 public:
  explicit KeychainObject(std::shared_ptr<KeychainDatabase> database)
      : database_(std::move(database)) {}
  ~KeychainObject() override { database_->end_kept_read(); }
  KeychainDatabase& database() const { return *database_; }

 private:
  std::shared_ptr<KeychainDatabase> database_;
};

// A key: the item's attributes as they were read, the identity its keychain recorded for its kind,
// the storage kind the item names, and the decoded key (none when the stored bytes do not decode,
// so using the key fails while its attributes can still be read) with its signing context (none for
// a public half).
class KeyObject final : public Object {
 public:
  KeyObject(KeyItem item, std::string keychain_identity, DecodedKey decoded, KeyKind& kind)
      : item_(std::move(item)),
        keychain_identity_(std::move(keychain_identity)),
        decoded_(std::move(decoded)),
        kind_(&kind) {}
  const KeyItem& item() const { return item_; }
  KeyPlace place() const { return {keychain_identity_, item_.id}; }
  KeyKind& kind() const { return *kind_; }
  const DecodedKey& decoded() const { return decoded_; }
  Sha256Signer* signer() const { return decoded_.signer(); }

 private:
  KeyItem item_;
  std::string keychain_identity_;
  DecodedKey decoded_;
  KeyKind* kind_;
};

class ErrorObject final : public Object {
 public:
  explicit ErrorObject(OSStatus status) : status_(status) {}
  OSStatus status() const { return status_; }

 private:
  OSStatus status_;
};

}  // namespace ktarn::platform::software
