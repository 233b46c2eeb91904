// Attribute dictionaries: the queries, creation parameters and key attributes the key store
// exchanges with the keychain. The logic builds them member by member exactly as the key store
// describes; the keychain implementation, not the logic, interprets them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bridge/platform/object.hpp"

namespace ktarn::platform {

using Bytes = std::vector<std::uint8_t>;

// Attribute names, after the platform constants they stand for.
enum class Attr {
  kSecClass,
  kSecAttrKeyType,
  kSecAttrKeyClass,
  kSecAttrApplicationTag,
  kSecAttrLabel,
  kSecAttrKeySizeInBits,
  kSecAttrIsPermanent,
  kSecAttrIsSensitive,
  kSecAttrIsExtractable,
  kSecAttrCanSign,
  kSecAttrSynchronizable,
  kSecAttrTokenID,  // where a key lives: text naming the platform's storage kind
  kSecMatchSearchList,
  kSecMatchLimit,
  kSecReturnRef,
  kSecUseKeychain,
  kSecPrivateKeyAttrs,
};

// Constant attribute values.
enum class Constant {
  kSecClassKey,
  kSecAttrKeyTypeRSA,
  kSecAttrKeyTypeECSECPrimeRandom,
  kSecAttrKeyClassPrivate,
  kSecAttrKeyClassPublic,
  kSecMatchLimitOne,
};

struct Attributes;

// bool: a CFBoolean; int64: a CFNumber; string: text; Bytes: a data object; Constant; a list of
// platform objects (kSecMatchSearchList); one platform object (kSecUseKeychain); a nested
// dictionary (kSecPrivateKeyAttrs).
using AttrValue =
    std::variant<bool, std::int64_t, std::string, Bytes, Constant, std::vector<SharedRef>,
                 SharedRef, std::shared_ptr<const Attributes>>;

struct Attributes {
  std::map<Attr, AttrValue> members;

  void set(Attr name, AttrValue value) { members.insert_or_assign(name, std::move(value)); }
  const AttrValue* find(Attr name) const {
    auto it = members.find(name);
    return it == members.end() ? nullptr : &it->second;
  }
  // The member's value when it is present and of type T, else nullptr.
  template <class T>
  const T* get(Attr name) const {
    const AttrValue* value = find(name);
    return value ? std::get_if<T>(value) : nullptr;
  }
};

std::string_view attr_name(Attr name);
std::string_view constant_name(Constant value);

}  // namespace ktarn::platform
