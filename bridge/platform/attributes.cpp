#include "bridge/platform/attributes.hpp"

namespace ktarn::platform {

std::string_view attr_name(Attr name) {
  switch (name) {
    case Attr::kSecClass:
      return "kSecClass";
    case Attr::kSecAttrKeyType:
      return "kSecAttrKeyType";
    case Attr::kSecAttrKeyClass:
      return "kSecAttrKeyClass";
    case Attr::kSecAttrApplicationTag:
      return "kSecAttrApplicationTag";
    case Attr::kSecAttrLabel:
      return "kSecAttrLabel";
    case Attr::kSecAttrKeySizeInBits:
      return "kSecAttrKeySizeInBits";
    case Attr::kSecAttrIsPermanent:
      return "kSecAttrIsPermanent";
    case Attr::kSecAttrIsSensitive:
      return "kSecAttrIsSensitive";
    case Attr::kSecAttrIsExtractable:
      return "kSecAttrIsExtractable";
    case Attr::kSecAttrCanSign:
      return "kSecAttrCanSign";
    case Attr::kSecAttrSynchronizable:
      return "kSecAttrSynchronizable";
    case Attr::kSecAttrTokenID:
      return "kSecAttrTokenID";
    case Attr::kSecMatchSearchList:
      return "kSecMatchSearchList";
    case Attr::kSecMatchLimit:
      return "kSecMatchLimit";
    case Attr::kSecReturnRef:
      return "kSecReturnRef";
    case Attr::kSecUseKeychain:
      return "kSecUseKeychain";
    case Attr::kSecPrivateKeyAttrs:
      return "kSecPrivateKeyAttrs";
  }
  return "?";
}

std::string_view constant_name(Constant value) {
  switch (value) {
    case Constant::kSecClassKey:
      return "kSecClassKey";
    case Constant::kSecAttrKeyTypeRSA:
      return "kSecAttrKeyTypeRSA";
    case Constant::kSecAttrKeyTypeECSECPrimeRandom:
      return "kSecAttrKeyTypeECSECPrimeRandom";
    case Constant::kSecAttrKeyClassPrivate:
      return "kSecAttrKeyClassPrivate";
    case Constant::kSecAttrKeyClassPublic:
      return "kSecAttrKeyClassPublic";
    case Constant::kSecMatchLimitOne:
      return "kSecMatchLimitOne";
  }
  return "?";
}

}  // namespace ktarn::platform
