#include "bridge/platform/software/keychain/key_creation.hpp"

#include "bridge/platform/software/keychain/key_query.hpp"
#include "bridge/platform/software/keychain/keychain_status.hpp"

namespace ktarn::platform::software {

namespace {

// What a new key is before the parameters say otherwise: not stored, extractable, able to sign.
KeyItem default_private_key() {
  KeyItem item;
  item.set(Attr::kSecAttrIsPermanent, false);
  item.set(Attr::kSecAttrIsSensitive, false);
  item.set(Attr::kSecAttrIsExtractable, true);
  item.set(Attr::kSecAttrCanSign, true);
  item.set(Attr::kSecAttrSynchronizable, false);
  return item;
}

bool steers_creation(Attr name) {
  return name == Attr::kSecAttrKeyType || name == Attr::kSecAttrKeySizeInBits ||
         name == Attr::kSecUseKeychain || name == Attr::kSecPrivateKeyAttrs;
}

StatusOr<KeyItem> private_key_item(const Attributes& parameters) {
  KeyItem item = default_private_key();
  for (const auto& [name, value] : parameters.members) {
    if (steers_creation(name)) continue;
    if (OSStatus status = assign_creator_attribute(name, value, item); status != errSecSuccess) {
      return Unexpected(status);
    }
  }
  if (const AttrValue* nested = parameters.find(Attr::kSecPrivateKeyAttrs)) {
    const auto* attributes = std::get_if<std::shared_ptr<const Attributes>>(nested);
    if (attributes == nullptr || *attributes == nullptr) return Unexpected(errSecParam);
    for (const auto& [name, value] : (*attributes)->members) {
      if (OSStatus status = assign_creator_attribute(name, value, item); status != errSecSuccess) {
        return Unexpected(status);
      }
    }
  }
  return item;
}

StatusOr<std::int64_t> requested_size(const Attributes& parameters) {
  const auto* type = parameters.get<Constant>(Attr::kSecAttrKeyType);
  const auto* bits = parameters.get<std::int64_t>(Attr::kSecAttrKeySizeInBits);
  if (type == nullptr || *type != Constant::kSecAttrKeyTypeRSA || bits == nullptr) {
    return Unexpected(errSecParam);
  }
  if (*bits < kMinimumKeyBits || *bits > kMaximumKeyBits) {
    return Unexpected(errSecKeySizeNotAllowed);
  }
  return *bits;
}

// What a lookup for the item's key name compares: its kind of key under its tag.
Attributes same_key_terms(const KeyItem& item) {
  Attributes terms;
  for (Attr name : {Attr::kSecClass, Attr::kSecAttrKeyType, Attr::kSecAttrKeyClass,
                    Attr::kSecAttrApplicationTag, Attr::kSecAttrSynchronizable}) {
    terms.set(name, *item.find(name));
  }
  return terms;
}

// Read in a transaction of its own, which ends before the key is made. A keychain whose kind
// withholds its keys refuses here already, before the slow generation.
StatusOr<std::string> new_key_storage(KeychainDatabase& database, KeyKinds& kinds) {
  auto transaction = database.begin_read();
  if (!transaction) return Unexpected(transaction.error());
  if (auto usable = check_usable(database, kinds); !usable) return Unexpected(usable.error());
  return database.new_key_storage();
}

// Read in a transaction of its own, after the item was stored.
StatusOr<std::string> keychain_identity_of(KeychainDatabase& database) {
  auto transaction = database.begin_read();
  if (!transaction) return Unexpected(transaction.error());
  return database.keychain_identity();
}

}  // namespace

StatusOr<CreatedKey> create_key(const Attributes& parameters, KeyKinds& kinds) {
  auto bits = requested_size(parameters);
  if (!bits) return Unexpected(bits.error());
  auto item = private_key_item(parameters);
  if (!item) return Unexpected(item.error());
  KeychainObject* keychain = nullptr;
  if (item->get<bool>(Attr::kSecAttrIsPermanent)) {
    auto named = use_keychain(parameters);
    if (!named) return Unexpected(named.error());
    keychain = *named;
  }
  auto storage = keychain != nullptr ? new_key_storage(keychain->database(), kinds)
                                     : StatusOr<std::string>(std::string(kSoftwareKeys));
  if (!storage) return Unexpected(storage.error());
  auto kind = kinds.kind(*storage);
  if (!kind) return Unexpected(kind.error());
  item->set(Attr::kSecAttrTokenID, std::move(*storage));
  auto made = (*kind)->create(static_cast<int>(*bits));
  if (!made) return Unexpected(made.error());
  item->set(Attr::kSecAttrKeySizeInBits, std::int64_t{size_in_bits(made->key.numbers())});
  item->private_key = std::move(made->stored);
  if (keychain != nullptr) {
    OSStatus status = store_item(keychain->database(), *item, kinds);
    if (status != errSecSuccess && status != errSecDuplicateItem) return Unexpected(status);
    auto identity = keychain_identity_of(keychain->database());
    if (!identity) return Unexpected(identity.error());
    if (status == errSecDuplicateItem) {
      return CreatedKey{std::move(*item), std::move(*identity), {}, *kind};
    }
    return CreatedKey{std::move(*item), std::move(*identity), std::move(made->key), *kind};
  }
  return CreatedKey{std::move(*item), {}, std::move(made->key), *kind};
}

OSStatus store_item(KeychainDatabase& database, KeyItem& item, KeyKinds& kinds) {
  auto transaction = database.begin_write();
  if (!transaction) return transaction.error();
  if (OSStatus status = database.check_integrity(); status != errSecSuccess) return status;
  auto identity = check_usable(database, kinds);
  if (!identity) return identity.error();
  auto stored = database.first_item(same_key_terms(item));
  if (!stored) return stored.error();
  if (*stored) {
    item = std::move(**stored);
    return errSecDuplicateItem;
  }
  auto kind = kinds.kind(item.storage());
  if (!kind) return kind.error();
  auto row = database.next_item_id();
  if (!row) return row.error();
  auto stored_form = (*kind)->stored_form(item.private_key, KeyPlace{*identity, *row});
  if (!stored_form) return stored_form.error();
  KeyItem written = item;
  written.id = *row;
  written.private_key = std::move(*stored_form);
  auto id = database.insert(written);
  if (!id) return id.error();
  if (OSStatus status = transaction->commit(); status != errSecSuccess) return status;
  item = std::move(written);
  return errSecSuccess;
}

StatusOr<std::string> check_usable(KeychainDatabase& database, KeyKinds& kinds) {
  auto locked = database.is_locked();
  if (!locked) return Unexpected(locked.error());
  if (*locked) return Unexpected(errSecInteractionNotAllowed);
  auto storage = database.new_key_storage();
  if (!storage) return Unexpected(storage.error());
  auto kind = kinds.kind(*storage);
  if (!kind) return Unexpected(kind.error());
  auto identity = database.keychain_identity();
  if (!identity) return Unexpected(identity.error());
  if (OSStatus status = (*kind)->check_usable(*identity); status != errSecSuccess) {
    return Unexpected(status);
  }
  return std::move(*identity);
}

}  // namespace ktarn::platform::software
