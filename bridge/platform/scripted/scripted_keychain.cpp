#include "bridge/platform/scripted/scripted_keychain.hpp"

#include <algorithm>
#include <type_traits>

namespace ktarn::platform::scripted {
namespace {

class ErrorObject final : public CountedObject {
 public:
  using CountedObject::CountedObject;
};

// Members that steer a lookup rather than describe the item sought.
bool is_control_member(Attr name) {
  return name == Attr::kSecMatchSearchList || name == Attr::kSecMatchLimit ||
         name == Attr::kSecReturnRef;
}

bool matches(const Attributes& item, const Attributes& query) {
  return std::ranges::all_of(query.members, [&item](const auto& member) {
    if (is_control_member(member.first)) return true;
    const AttrValue* value = item.find(member.first);
    return value != nullptr && *value == member.second;
  });
}

void copy_member(Attributes& to, const Attributes& from, Attr name) {
  if (const AttrValue* value = from.find(name)) to.set(name, *value);
}

std::string describe_object(const SharedRef& object) {
  if (const auto* keychain = dynamic_cast<const ScriptedKeychain::KeychainObject*>(object.get())) {
    return "keychain " + keychain->path;
  }
  return object ? "object" : "null";
}

std::string describe_list(const std::vector<SharedRef>& list) {
  std::string text = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    text += (i > 0 ? ", " : "") + describe_object(list[i]);
  }
  return text + "]";
}

void record_into(RecordedAttributes& record, const std::string& prefix,
                 const Attributes& attributes) {
  for (const auto& [name, value] : attributes.members) {
    const std::string key = prefix + std::string(attr_name(name));
    std::visit(
        [&](const auto& data) {
          using T = std::decay_t<decltype(data)>;
          if constexpr (std::is_same_v<T, bool>)
            record[key] = data ? "true" : "false";
          else if constexpr (std::is_same_v<T, std::int64_t>)
            record[key] = std::to_string(data);
          else if constexpr (std::is_same_v<T, std::string>)
            record[key] = "\"" + data + "\"";
          else if constexpr (std::is_same_v<T, Bytes>)
            record[key] = "<" + std::string(data.begin(), data.end()) + ">";
          else if constexpr (std::is_same_v<T, Constant>)
            record[key] = constant_name(data);
          else if constexpr (std::is_same_v<T, std::vector<SharedRef>>)
            record[key] = describe_list(data);
          else if constexpr (std::is_same_v<T, SharedRef>)
            record[key] = describe_object(data);
          else if (data)
            record_into(record, key + ".", *data);
          else
            record[key] = "null";
        },
        value);
  }
}

RecordedAttributes record_attributes(const Attributes& attributes) {
  RecordedAttributes record;
  record_into(record, "", attributes);
  return record;
}

}  // namespace

ScriptedKeychain::ScriptedKeychain(int& live) : live_(live) {}

ScriptedKeychain::StoredKey& ScriptedKeychain::add_key(const std::string& tag) {
  auto key = std::make_shared<StoredKey>();
  key->item.set(Attr::kSecClass, Constant::kSecClassKey);
  key->item.set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeRSA);
  key->item.set(Attr::kSecAttrKeyClass, Constant::kSecAttrKeyClassPrivate);
  key->item.set(Attr::kSecAttrApplicationTag, Bytes(tag.begin(), tag.end()));
  key->item.set(Attr::kSecAttrLabel, tag);
  key->item.set(Attr::kSecAttrSynchronizable, false);
  key->reported.emplace();
  key->reported->set(Attr::kSecAttrKeySizeInBits, std::int64_t{2048});
  key->reported->set(Attr::kSecAttrKeyType, Constant::kSecAttrKeyTypeRSA);
  key->reported->set(Attr::kSecAttrIsExtractable, false);
  key->public_der = Bytes{0x30, 0x03, 0x02, 0x01, static_cast<std::uint8_t>(items.size())};
  items.push_back(key);
  return *key;
}

Bytes ScriptedKeychain::signature_over(std::span<const std::uint8_t> data) {
  static constexpr std::string_view kMark = "sig:";
  Bytes signature(kMark.size() + data.size());
  std::copy(kMark.begin(), kMark.end(), signature.begin());
  std::copy(data.begin(), data.end(), signature.begin() + kMark.size());
  return signature;
}

void ScriptedKeychain::enter(const char* operation) {
  calls.emplace_back(operation);
  if (throwing.contains(operation)) throw PlatformException(operation);
}

void ScriptedKeychain::record(const Attributes& dictionary) {
  dictionaries.push_back(record_attributes(dictionary));
}

Ref ScriptedKeychain::error_object() {
  return std::make_unique<ErrorObject>(live_);
}

std::shared_ptr<ScriptedKeychain::StoredKey> ScriptedKeychain::stored_key(const Object& key) const {
  const auto* object = dynamic_cast<const KeyObject*>(&key);
  return object ? object->key : nullptr;
}

std::string ScriptedKeychain::ns_home_directory() {
  enter("NSHomeDirectory");
  return home;
}

bool ScriptedKeychain::file_exists_at_path(const std::string& path) {
  enter("fileExistsAtPath");
  return existing_paths.contains(path);
}

OSStatus ScriptedKeychain::sec_keychain_open(const std::string& path, Ref& keychain) {
  enter("SecKeychainOpen");
  opened_paths.push_back(path);
  if (open_status != errSecSuccess) return open_status;
  keychain = std::make_unique<KeychainObject>(live_, path);
  return errSecSuccess;
}

OSStatus ScriptedKeychain::sec_keychain_get_status(const Object&, std::uint32_t& status) {
  enter("SecKeychainGetStatus");
  status = status_word;
  return get_status_result;
}

OSStatus ScriptedKeychain::sec_item_copy_matching(const Attributes& query, Ref& item) {
  enter("SecItemCopyMatching");
  record(query);
  if (copy_matching_status) return *copy_matching_status;
  const auto found =
      std::ranges::find_if(items, [&query](const auto& key) { return matches(key->item, query); });
  if (found == items.end()) return errSecItemNotFound;
  item = std::make_unique<KeyObject>(live_, *found, false);
  return errSecSuccess;
}

OSStatus ScriptedKeychain::sec_item_delete(const Attributes& query) {
  enter("SecItemDelete");
  record(query);
  if (delete_status) return *delete_status;
  const auto removed =
      std::erase_if(items, [&query](const auto& key) { return matches(key->item, query); });
  return removed > 0 ? errSecSuccess : errSecItemNotFound;
}

CFTypeID ScriptedKeychain::cf_get_type_id(const Object& object) {
  enter("CFGetTypeID");
  const auto key = stored_key(object);
  return key && key->is_key ? kKeyTypeId : kOtherTypeId;
}

CFTypeID ScriptedKeychain::sec_key_get_type_id() {
  enter("SecKeyGetTypeID");
  return kKeyTypeId;
}

Ref ScriptedKeychain::sec_key_create_random_key(const Attributes& parameters, Ref& error) {
  enter("SecKeyCreateRandomKey");
  record(parameters);
  if (creation_fails) {
    error = error_object();
    return nullptr;
  }
  auto key = std::make_shared<StoredKey>();
  const auto* nested = parameters.get<std::shared_ptr<const Attributes>>(Attr::kSecPrivateKeyAttrs);
  const Attributes private_attributes = nested && *nested ? **nested : Attributes{};
  key->item.set(Attr::kSecClass, Constant::kSecClassKey);
  copy_member(key->item, parameters, Attr::kSecAttrKeyType);
  key->item.set(Attr::kSecAttrKeyClass, Constant::kSecAttrKeyClassPrivate);
  for (Attr name :
       {Attr::kSecAttrApplicationTag, Attr::kSecAttrLabel, Attr::kSecAttrSynchronizable}) {
    copy_member(key->item, private_attributes, name);
  }
  key->reported.emplace();
  for (Attr name :
       {Attr::kSecAttrKeySizeInBits, Attr::kSecAttrKeyType, Attr::kSecAttrIsExtractable}) {
    copy_member(*key->reported, parameters, name);
  }
  key->public_der = Bytes{0x30, 0x03, 0x02, 0x01, static_cast<std::uint8_t>(0x80 + items.size())};
  if (creation_stores) items.push_back(key);
  return std::make_unique<KeyObject>(live_, key, false);
}

std::optional<Attributes> ScriptedKeychain::sec_key_copy_attributes(const Object& key) {
  enter("SecKeyCopyAttributes");
  const auto stored = stored_key(key);
  return stored ? stored->reported : std::nullopt;
}

Ref ScriptedKeychain::sec_key_copy_public_key(const Object& key) {
  enter("SecKeyCopyPublicKey");
  const auto stored = stored_key(key);
  if (!stored || !stored->has_public_key) return nullptr;
  return std::make_unique<KeyObject>(live_, stored, true);
}

std::optional<Bytes> ScriptedKeychain::sec_key_copy_external_representation(const Object& key,
                                                                            Ref& error) {
  enter("SecKeyCopyExternalRepresentation");
  const auto* object = dynamic_cast<const KeyObject*>(&key);
  // Only the public half exports; a private key is never extractable here.
  if (object && object->public_half && object->key->public_der) return object->key->public_der;
  error = error_object();
  return std::nullopt;
}

bool ScriptedKeychain::sec_key_is_algorithm_supported(const Object& key, KeyOperationType operation,
                                                      KeyAlgorithm algorithm) {
  enter("SecKeyIsAlgorithmSupported");
  const auto stored = stored_key(key);
  return stored && stored->signs && operation == KeyOperationType::kSecKeyOperationTypeSign &&
         algorithm == KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256;
}

std::optional<Bytes> ScriptedKeychain::sec_key_create_signature(const Object& key, KeyAlgorithm,
                                                                std::span<const std::uint8_t> data,
                                                                Ref& error) {
  enter("SecKeyCreateSignature");
  signed_data.emplace_back(data.begin(), data.end());
  const auto stored = stored_key(key);
  if (!stored || stored->signing_fails) {
    error = error_object();
    return std::nullopt;
  }
  return signature_over(data);
}

}  // namespace ktarn::platform::scripted
