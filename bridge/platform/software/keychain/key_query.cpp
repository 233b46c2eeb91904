#include "bridge/platform/software/keychain/key_query.hpp"

#include "bridge/platform/software/keychain/keychain_status.hpp"

namespace ktarn::platform::software {

namespace {

bool has_same_kind(const AttrValue& value, const AttrValue& model) {
  return value.index() == model.index();
}

// The members that steer a search rather than match an item.
OSStatus check_search_member(Attr name, const AttrValue& value, QueryUse use) {
  switch (name) {
    case Attr::kSecMatchSearchList:
      return std::holds_alternative<std::vector<SharedRef>>(value) ? errSecSuccess : errSecParam;
    case Attr::kSecMatchLimit: {
      const auto* limit = std::get_if<Constant>(&value);
      bool one = limit && *limit == Constant::kSecMatchLimitOne;
      return one && use == QueryUse::kCopyMatching ? errSecSuccess : errSecParam;
    }
    case Attr::kSecReturnRef:
      return std::holds_alternative<bool>(value) && use == QueryUse::kCopyMatching ? errSecSuccess
                                                                                   : errSecParam;
    default:
      return errSecParam;
  }
}

KeychainObject* as_keychain(const SharedRef& object) {
  return dynamic_cast<KeychainObject*>(object.get());
}

}  // namespace

OSStatus check_query(const Attributes& query, QueryUse use) {
  // The platform cannot search without knowing which class of item is meant.
  if (query.get<Constant>(Attr::kSecClass) == nullptr) return errSecParam;
  for (const auto& [name, value] : query.members) {
    if (const ItemAttribute* attribute = item_attribute(name)) {
      if (!has_same_kind(value, attribute->unstated)) return errSecParam;
    } else if (OSStatus status = check_search_member(name, value, use); status != errSecSuccess) {
      return status;
    }
  }
  return errSecSuccess;
}

StatusOr<std::vector<KeychainObject*>> search_list(const Attributes& query) {
  const auto* list = query.get<std::vector<SharedRef>>(Attr::kSecMatchSearchList);
  if (list == nullptr) {
    return Unexpected(query.find(Attr::kSecMatchSearchList) ? errSecParam
                                                            : errSecNoDefaultKeychain);
  }
  if (list->empty()) return Unexpected(errSecParam);
  std::vector<KeychainObject*> keychains;
  for (const SharedRef& object : *list) {
    KeychainObject* keychain = as_keychain(object);
    if (keychain == nullptr) return Unexpected(errSecParam);
    keychains.push_back(keychain);
  }
  return keychains;
}

StatusOr<KeychainObject*> use_keychain(const Attributes& parameters) {
  const AttrValue* member = parameters.find(Attr::kSecUseKeychain);
  if (member == nullptr) return Unexpected(errSecNoDefaultKeychain);
  const auto* object = std::get_if<SharedRef>(member);
  KeychainObject* keychain = object ? as_keychain(*object) : nullptr;
  if (keychain == nullptr) return Unexpected(errSecParam);
  return keychain;
}

Attributes search_terms(const Attributes& query) {
  Attributes terms;
  for (const auto& [name, value] : query.members) {
    if (item_attribute(name)) terms.set(name, value);
  }
  if (terms.find(Attr::kSecAttrSynchronizable) == nullptr) {
    terms.set(Attr::kSecAttrSynchronizable, false);
  }
  return terms;
}

OSStatus assign_creator_attribute(Attr name, const AttrValue& value, KeyItem& item) {
  const ItemAttribute* attribute = item_attribute(name);
  if (attribute == nullptr || !attribute->chosen_by_creator ||
      !has_same_kind(value, attribute->unstated)) {
    return errSecParam;
  }
  item.set(name, value);
  return errSecSuccess;
}

Attributes item_attributes(const KeyItem& item) {
  Attributes attributes;
  for (std::size_t i = 0; i < kItemAttributeCount; ++i) {
    attributes.set(kItemAttributes[i].name, item.values[i]);
  }
  return attributes;
}

}  // namespace ktarn::platform::software
