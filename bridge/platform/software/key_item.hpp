// A key item as the keychain stores it: the attributes a query can match and the private key's
// DER. Items only ever hold RSA private keys today; class, type and key class are stored all the
// same, so a query is matched against what the item says it is rather than against an assumption.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "bridge/platform/attributes.hpp"
#include "bridge/platform/software/rsa_key.hpp"

namespace ktarn::platform::software {

// The attributes of a key item a query can match, in the order of the item's stored columns.
inline constexpr std::array kItemAttributes = {
    Attr::kSecClass,
    Attr::kSecAttrKeyType,
    Attr::kSecAttrKeyClass,
    Attr::kSecAttrApplicationTag,
    Attr::kSecAttrLabel,
    Attr::kSecAttrKeySizeInBits,
    Attr::kSecAttrIsPermanent,
    Attr::kSecAttrIsSensitive,
    Attr::kSecAttrIsExtractable,
    Attr::kSecAttrCanSign,
    Attr::kSecAttrSynchronizable,
};

struct KeyItem {
  std::int64_t id = 0;  // insertion order: a smaller id is an older item
  Constant item_class = Constant::kSecClassKey;
  Constant key_type = Constant::kSecAttrKeyTypeRSA;
  Constant key_class = Constant::kSecAttrKeyClassPrivate;
  Bytes application_tag;
  std::string label;
  std::int64_t size_in_bits = 0;
  bool permanent = true;
  bool sensitive = true;
  bool extractable = false;
  bool can_sign = true;
  bool synchronizable = false;
  SecretBytes private_key;  // PKCS #1 RSAPrivateKey DER
};

}  // namespace ktarn::platform::software
