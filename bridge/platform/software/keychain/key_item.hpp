// A key item as the keychain stores it: its attributes and the private key's stored form, which
// its storage kind made and alone reads (key_kinds.hpp): the storage attribute names the kind.
// Items only ever hold RSA private keys today; class, type and key class are stored all the same,
// so a query is matched against what the item says it is rather than against an assumption.
//
// kItemAttributes is the one description of those attributes: the query member each answers to,
// the column that stores it, its value in an item that does not state it (whose kind is the kind
// of every value it takes), whether a key's creator may choose it, and its name in the tool's
// listing. Matching queries, reading and writing rows and the listing all follow it, so an
// attribute is added by adding its line (and its column to the stored layout).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "bridge/platform/attributes.hpp"
#include "bridge/platform/software/keys/key_kinds.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"

namespace ktarn::platform::software {

struct ItemAttribute {
  Attr name;
  std::string_view column;
  AttrValue unstated;
  bool chosen_by_creator;
  std::string_view listed_as;  // empty when the listing leaves it out
};

inline const std::array kItemAttributes = std::to_array<ItemAttribute>({
    {Attr::kSecClass, "item_class", Constant::kSecClassKey, false, ""},
    {Attr::kSecAttrKeyType, "key_type", Constant::kSecAttrKeyTypeRSA, false, ""},
    {Attr::kSecAttrKeyClass, "key_class", Constant::kSecAttrKeyClassPrivate, false, ""},
    {Attr::kSecAttrApplicationTag, "application_tag", Bytes(), true, "tag"},
    {Attr::kSecAttrLabel, "label", std::string(), true, "label"},
    {Attr::kSecAttrKeySizeInBits, "size_in_bits", std::int64_t{0}, false, "bits"},
    {Attr::kSecAttrIsPermanent, "permanent", true, true, ""},
    {Attr::kSecAttrIsSensitive, "sensitive", true, true, ""},
    {Attr::kSecAttrIsExtractable, "extractable", false, true, "extractable"},
    {Attr::kSecAttrCanSign, "can_sign", true, true, ""},
    {Attr::kSecAttrSynchronizable, "synchronizable", false, true, "synchronizable"},
    {Attr::kSecAttrTokenID, "storage", std::string(kSoftwareKeys), false, "storage"},
});
inline constexpr std::size_t kItemAttributeCount = std::tuple_size_v<decltype(kItemAttributes)>;

// The description of an item attribute; nullptr for a member that is not one.
const ItemAttribute* item_attribute(Attr name);

// How a constant attribute value is stored ("rsa", "private"...); empty for one no item holds.
std::string_view stored_code(Constant constant);
std::optional<Constant> constant_of_code(std::string_view code);

struct KeyItem {
  KeyItem();

  // The value of an item attribute, or nullptr for a member that is not one.
  const AttrValue* find(Attr name) const;
  // The value of an item attribute of kind T.
  template <class T>
  const T& get(Attr name) const {
    return std::get<T>(*find(name));
  }
  // Sets an item attribute to a value of its kind.
  void set(Attr name, AttrValue value);

  std::int64_t id = 0;  // insertion order: a smaller id is an older item
  std::array<AttrValue, kItemAttributeCount> values;  // in the order of kItemAttributes
  SecretBytes private_key;                            // as the storage kind made it

  // The word naming the key's storage kind.
  const std::string& storage() const { return get<std::string>(Attr::kSecAttrTokenID); }
};

}  // namespace ktarn::platform::software
