#include "bridge/device_key_store.hpp"

#include <memory>

#include "base/login_keychain_path.hpp"

namespace ktarn::bridge {
namespace {

using platform::Attr;
using platform::Attributes;
using platform::Bytes;
using platform::Constant;
using platform::Keychain;
using platform::Ref;

constexpr std::int64_t kDeviceKeyBits = 2048;

constexpr const char* kLockedMessage =
    "Login Keychain is locked or unavailable. Unlock it in Keychain Access, then retry "
    "verification.";

Attributes base_query(const Bytes& application_tag, Ref login_keychain) {
  Attributes query;
  query.set(Attr::kSecClass, Constant::kSecClassKey);
  query.set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeRSA);
  query.set(Attr::kSecAttrKeyClass, Constant::kSecAttrKeyClassPrivate);
  query.set(Attr::kSecAttrApplicationTag, application_tag);
  query.set(Attr::kSecMatchSearchList,
            std::vector<platform::SharedRef>{platform::SharedRef(std::move(login_keychain))});
  query.set(Attr::kSecAttrSynchronizable, false);
  return query;
}

Attributes creation_parameters(const std::string& key_name, const Bytes& application_tag,
                               const Attributes& base) {
  auto private_key = std::make_shared<Attributes>();
  private_key->set(Attr::kSecAttrIsPermanent, true);
  private_key->set(Attr::kSecAttrApplicationTag, application_tag);
  private_key->set(Attr::kSecAttrLabel, key_name);
  private_key->set(Attr::kSecAttrIsExtractable, false);
  private_key->set(Attr::kSecAttrIsSensitive, true);
  private_key->set(Attr::kSecAttrCanSign, true);
  private_key->set(Attr::kSecAttrSynchronizable, false);
  Attributes parameters;
  parameters.set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeRSA);
  parameters.set(Attr::kSecAttrKeySizeInBits, kDeviceKeyBits);
  parameters.set(Attr::kSecAttrIsExtractable, false);
  parameters.set(Attr::kSecUseKeychain,
                 base.get<std::vector<platform::SharedRef>>(Attr::kSecMatchSearchList)->front());
  parameters.set(Attr::kSecPrivateKeyAttrs, std::shared_ptr<const Attributes>(private_key));
  return parameters;
}

// The policy on a key's attributes, checked in this order so that a key wrong in several ways
// always reports the same fault (the size before the type). An extractability flag that is not a
// boolean is not trusted to mean "not extractable".
const char* policy_violation(const Attributes& attributes) {
  const auto* bits = attributes.get<std::int64_t>(Attr::kSecAttrKeySizeInBits);
  if (bits == nullptr || *bits != kDeviceKeyBits) {
    return "Device key is not RSA-2048; the existing key was not replaced";
  }
  const auto* type = attributes.get<Constant>(Attr::kSecAttrKeyType);
  if (type == nullptr || *type != Constant::kSecAttrKeyTypeRSA) {
    return "Device key is not RSA; the existing key was not replaced";
  }
  const platform::AttrValue* extractable = attributes.find(Attr::kSecAttrIsExtractable);
  if (extractable == nullptr) {
    return "Device key extractability is unavailable; refusing to use or replace it";
  }
  const bool* flag = std::get_if<bool>(extractable);
  if (flag == nullptr || *flag) {
    return "Device key is extractable; refusing to use or replace it. Explicit operator recovery "
           "is required";
  }
  return nullptr;
}

Ref validated_device_key(Keychain& keychain, Ref item, MessageSlot& error) {
  if (!item || keychain.cf_get_type_id(*item) != keychain.sec_key_get_type_id()) {
    error = "Stored Keychain item is not a key";
    return nullptr;
  }
  const auto attributes = keychain.sec_key_copy_attributes(*item);
  const char* violation =
      attributes ? policy_violation(*attributes)
                 : "Device key attributes are unavailable; the existing key was not replaced";
  if (violation != nullptr) {
    error = violation;
    return nullptr;
  }
  return item;
}

// Creates the key, then finds it again through the keychain so that it passes the same policy
// as any stored key before it is used. The second lookup never creates.
Ref create_device_key(Keychain& keychain, const std::string& key_name, const Bytes& tag,
                      const Attributes& base, MessageSlot& error) {
  Ref created;
  {
    Ref creation_error;
    created = keychain.sec_key_create_random_key(creation_parameters(key_name, tag, base),
                                                 creation_error);
  }
  if (!created) {
    error =
        "Keychain key creation failed; check that the login Keychain is unlocked and access is "
        "permitted";
    return nullptr;
  }
  created.reset();
  return copy_device_key(keychain, key_name, false, error);
}

}  // namespace

std::string keychain_failure_message(std::string_view label, platform::OSStatus status) {
  return std::string(label) + " failed (macOS OSStatus " + std::to_string(status) +
         "). Check login Keychain access; the existing key was not replaced.";
}

std::optional<Attributes> login_keychain_query(Keychain& keychain, const Bytes& application_tag,
                                               MessageSlot& error) {
  Ref login_keychain;
  const platform::OSStatus status = keychain.sec_keychain_open(
      login_keychain_path(
          keychain.ns_home_directory(),
          [&keychain](const std::string& path) { return keychain.file_exists_at_path(path); }),
      login_keychain);
  if (status != platform::errSecSuccess) {
    error = keychain_failure_message("Login Keychain open", status);
    return std::nullopt;
  }
  std::uint32_t status_word = 0;
  if (!login_keychain ||
      keychain.sec_keychain_get_status(*login_keychain, status_word) != platform::errSecSuccess ||
      (status_word & platform::kSecUnlockStateStatus) == 0) {
    error = kLockedMessage;
    return std::nullopt;
  }
  return base_query(application_tag, std::move(login_keychain));
}

Ref copy_device_key(Keychain& keychain, const std::string& key_name, bool create,
                    MessageSlot& error) {
  const Bytes tag(key_name.begin(), key_name.end());
  const auto base = login_keychain_query(keychain, tag, error);
  if (!base) return nullptr;
  Attributes lookup = *base;
  lookup.set(Attr::kSecReturnRef, true);
  lookup.set(Attr::kSecMatchLimit, Constant::kSecMatchLimitOne);
  Ref item;
  const platform::OSStatus status = keychain.sec_item_copy_matching(lookup, item);
  if (status == platform::errSecSuccess)
    return validated_device_key(keychain, std::move(item), error);
  if (status == platform::errSecItemNotFound && create) {
    return create_device_key(keychain, key_name, tag, *base, error);
  }
  error = keychain_failure_message("Keychain lookup", status);
  return nullptr;
}

}  // namespace ktarn::bridge
