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

// Read in a transaction of its own, which ends before the key is made.
StatusOr<Constant> new_key_storage(KeychainDatabase& database) {
  auto transaction = database.begin_read();
  if (!transaction) return Unexpected(transaction.error());
  return database.new_key_storage();
}

StatusOr<DecodedKey> software_key(int bits, KeyItem& item) {
  Pkey key = generate_rsa_key(bits);
  if (!key) return Unexpected(errSecInternalComponent);
  item.set(Attr::kSecAttrKeySizeInBits, std::int64_t{key_size_in_bits(*key)});
  item.private_key = encode_private_key(*key);
  if (item.private_key.view().empty()) return Unexpected(errSecInternalComponent);
  Signer signer = make_sha256_signer(*key);
  return DecodedKey{std::move(key), std::move(signer)};
}

StatusOr<DecodedKey> tpm_key(int bits, KeyItem& item, TpmKeys& tpm) {
  auto created = tpm.create_rsa_key(bits);
  if (!created) return Unexpected(status_from_tpm_failure(created.error()));
  item.set(Attr::kSecAttrKeySizeInBits, std::int64_t{key_size_in_bits(*created->key.key)});
  item.private_key = SecretBytes(created->blob);
  return std::move(created->key);
}

}  // namespace

StatusOr<CreatedKey> create_key(const Attributes& parameters, TpmKeys& tpm) {
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
  auto storage = keychain != nullptr ? new_key_storage(keychain->database())
                                     : StatusOr<Constant>(Constant::kSecAttrTokenIDSoftware);
  if (!storage) return Unexpected(storage.error());
  item->set(Attr::kSecAttrTokenID, *storage);
  auto key = item->in_tpm() ? tpm_key(static_cast<int>(*bits), *item, tpm)
                            : software_key(static_cast<int>(*bits), *item);
  if (!key) return Unexpected(key.error());
  if (keychain != nullptr) {
    OSStatus status = store_item(keychain->database(), *item);
    if (status == errSecDuplicateItem) return CreatedKey{std::move(*item), {}};
    if (status != errSecSuccess) return Unexpected(status);
  }
  return CreatedKey{std::move(*item), std::move(*key)};
}

OSStatus store_item(KeychainDatabase& database, KeyItem& item) {
  auto transaction = database.begin_write();
  if (!transaction) return transaction.error();
  if (OSStatus status = database.check_integrity(); status != errSecSuccess) return status;
  auto locked = database.is_locked();
  if (!locked) return locked.error();
  if (*locked) return errSecInteractionNotAllowed;
  auto stored = database.first_item(same_key_terms(item));
  if (!stored) return stored.error();
  if (*stored) {
    item = std::move(**stored);
    return errSecDuplicateItem;
  }
  auto id = database.insert(item);
  if (!id) return id.error();
  if (OSStatus status = transaction->commit(); status != errSecSuccess) return status;
  item.id = *id;
  return errSecSuccess;
}

}  // namespace ktarn::platform::software
