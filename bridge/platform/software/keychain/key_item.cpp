#include "bridge/platform/software/keychain/key_item.hpp"

#include <utility>

namespace ktarn::platform::software {

namespace {

constexpr std::array<std::pair<Constant, std::string_view>, 5> kConstantCodes = {{
    {Constant::kSecClassKey, "key"},
    {Constant::kSecAttrKeyTypeRSA, "rsa"},
    {Constant::kSecAttrKeyTypeECSECPrimeRandom, "ec"},
    {Constant::kSecAttrKeyClassPrivate, "private"},
    {Constant::kSecAttrKeyClassPublic, "public"},
}};

}  // namespace

const ItemAttribute* item_attribute(Attr name) {
  for (const ItemAttribute& attribute : kItemAttributes) {
    if (attribute.name == name) return &attribute;
  }
  return nullptr;
}

std::string_view stored_code(Constant constant) {
  for (const auto& [known, code] : kConstantCodes) {
    if (known == constant) return code;
  }
  return "";
}

std::optional<Constant> constant_of_code(std::string_view code) {
  for (const auto& [constant, known] : kConstantCodes) {
    if (known == code) return constant;
  }
  return std::nullopt;
}

KeyItem::KeyItem() {
  for (std::size_t i = 0; i < kItemAttributeCount; ++i) values[i] = kItemAttributes[i].unstated;
}

const AttrValue* KeyItem::find(Attr name) const {
  const ItemAttribute* attribute = item_attribute(name);
  return attribute ? &values[static_cast<std::size_t>(attribute - kItemAttributes.data())]
                   : nullptr;
}

void KeyItem::set(Attr name, AttrValue value) {
  if (const ItemAttribute* attribute = item_attribute(name)) {
    values[static_cast<std::size_t>(attribute - kItemAttributes.data())] = std::move(value);
  }
}

}  // namespace ktarn::platform::software
