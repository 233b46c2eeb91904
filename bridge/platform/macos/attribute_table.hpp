// The seam's attribute names and constant values beside the Security framework constants they
// stand for, and the kind of value each attribute takes there. The table is plain data over a set
// of constants C: a type whose Key names the constants' type and whose static members, named as
// the framework names them, refer to them (the framework's own on macOS, stand-ins in the tests),
// so that the pairing is tested where the framework is absent.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <variant>

#include "bridge/platform/attributes.hpp"

namespace ktarn::platform::macos {

// The kinds of value, in the order of AttrValue's alternatives: boolean, integer, text, bytes,
// constant, list of objects, object, nested dictionary.
enum class ValueKind {
  kBoolean,
  kNumber,
  kString,
  kData,
  kConstant,
  kObjectList,
  kObject,
  kDictionary
};
static_assert(std::variant_size_v<AttrValue> == 8);

template <class Key>
struct AttributeRow {
  Attr name;
  const Key* key;
  ValueKind kind;
};

// key is null for a value the framework has no constant for.
template <class Key>
struct ConstantRow {
  Constant value;
  const Key* key;
};

// In the order of Attr, so that a row is found by its attribute's position.
template <class C>
constexpr auto attribute_rows() {
  using Row = AttributeRow<typename C::Key>;
  return std::array{
      Row{Attr::kSecClass, &C::kSecClass, ValueKind::kConstant},
      Row{Attr::kSecAttrKeyType, &C::kSecAttrKeyType, ValueKind::kConstant},
      Row{Attr::kSecAttrKeyClass, &C::kSecAttrKeyClass, ValueKind::kConstant},
      Row{Attr::kSecAttrApplicationTag, &C::kSecAttrApplicationTag, ValueKind::kData},
      Row{Attr::kSecAttrLabel, &C::kSecAttrLabel, ValueKind::kString},
      Row{Attr::kSecAttrKeySizeInBits, &C::kSecAttrKeySizeInBits, ValueKind::kNumber},
      Row{Attr::kSecAttrIsPermanent, &C::kSecAttrIsPermanent, ValueKind::kBoolean},
      Row{Attr::kSecAttrIsSensitive, &C::kSecAttrIsSensitive, ValueKind::kBoolean},
      Row{Attr::kSecAttrIsExtractable, &C::kSecAttrIsExtractable, ValueKind::kBoolean},
      Row{Attr::kSecAttrCanSign, &C::kSecAttrCanSign, ValueKind::kBoolean},
      Row{Attr::kSecAttrSynchronizable, &C::kSecAttrSynchronizable, ValueKind::kBoolean},
      Row{Attr::kSecAttrTokenID, &C::kSecAttrTokenID, ValueKind::kConstant},
      Row{Attr::kSecMatchSearchList, &C::kSecMatchSearchList, ValueKind::kObjectList},
      Row{Attr::kSecMatchLimit, &C::kSecMatchLimit, ValueKind::kConstant},
      Row{Attr::kSecReturnRef, &C::kSecReturnRef, ValueKind::kBoolean},
      Row{Attr::kSecUseKeychain, &C::kSecUseKeychain, ValueKind::kObject},
      Row{Attr::kSecPrivateKeyAttrs, &C::kSecPrivateKeyAttrs, ValueKind::kDictionary},
  };
}

// In the order of Constant. Keys made by the framework itself need no token: the words another
// platform stores there (its storage kinds) name nothing the framework has, and a dictionary that
// carries one is refused.
template <class C>
constexpr auto constant_rows() {
  using Row = ConstantRow<typename C::Key>;
  return std::array{
      Row{Constant::kSecClassKey, &C::kSecClassKey},
      Row{Constant::kSecAttrKeyTypeRSA, &C::kSecAttrKeyTypeRSA},
      Row{Constant::kSecAttrKeyTypeECSECPrimeRandom, &C::kSecAttrKeyTypeECSECPrimeRandom},
      Row{Constant::kSecAttrKeyClassPrivate, &C::kSecAttrKeyClassPrivate},
      Row{Constant::kSecAttrKeyClassPublic, &C::kSecAttrKeyClassPublic},
      Row{Constant::kSecMatchLimitOne, &C::kSecMatchLimitOne},
  };
}

template <class C>
const AttributeRow<typename C::Key>& attribute_row(Attr name) {
  static constexpr auto rows = attribute_rows<C>();
  return rows[static_cast<std::size_t>(name)];
}

template <class C>
const typename C::Key* constant_key(Constant value) {
  static constexpr auto rows = constant_rows<C>();
  return rows[static_cast<std::size_t>(value)].key;
}

// Whether the framework can be handed the dictionary: each member's value of the kind its
// attribute takes there, each constant one the framework has, nested dictionaries likewise. A
// dictionary that is not is refused whole rather than passed on with members left out, which
// would widen a query or weaken a new key.
template <class C>
bool expressible(const Attributes& attributes) {
  for (const auto& [name, value] : attributes.members) {
    if (value.index() != static_cast<std::size_t>(attribute_row<C>(name).kind)) return false;
    const auto* constant = std::get_if<Constant>(&value);
    if (constant != nullptr && constant_key<C>(*constant) == nullptr) return false;
    const auto* nested = std::get_if<std::shared_ptr<const Attributes>>(&value);
    if (nested != nullptr && (*nested == nullptr || !expressible<C>(**nested))) return false;
  }
  return true;
}

}  // namespace ktarn::platform::macos
