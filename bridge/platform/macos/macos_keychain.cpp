// The keychain and the device key through the Security framework. Queries and creation
// parameters become CFDictionary objects member by member, after the attribute table; what comes
// back is handed to the bridge logic as Refs that each own one reference.
#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <memory>
#include <utility>
#include <vector>

#include "bridge/platform/macos/attribute_table.hpp"
#include "bridge/platform/macos/exception_edge.hpp"
#include "bridge/platform/macos/macos_platform.hpp"
#include "bridge/platform/macos/owned_reference.hpp"

namespace ktarn::platform::macos {
namespace {

using CfReference = OwnedReference<CFTypeRef, &CFRelease>;

// The Security framework's constants as the attribute table names them.
struct SecurityConstants {
  using Key = CFStringRef;
  static constexpr const Key& kSecClass = ::kSecClass;
  static constexpr const Key& kSecClassKey = ::kSecClassKey;
  static constexpr const Key& kSecAttrKeyType = ::kSecAttrKeyType;
  static constexpr const Key& kSecAttrKeyTypeRSA = ::kSecAttrKeyTypeRSA;
  static constexpr const Key& kSecAttrKeyTypeECSECPrimeRandom = ::kSecAttrKeyTypeECSECPrimeRandom;
  static constexpr const Key& kSecAttrKeyClass = ::kSecAttrKeyClass;
  static constexpr const Key& kSecAttrKeyClassPrivate = ::kSecAttrKeyClassPrivate;
  static constexpr const Key& kSecAttrKeyClassPublic = ::kSecAttrKeyClassPublic;
  static constexpr const Key& kSecAttrApplicationTag = ::kSecAttrApplicationTag;
  static constexpr const Key& kSecAttrLabel = ::kSecAttrLabel;
  static constexpr const Key& kSecAttrKeySizeInBits = ::kSecAttrKeySizeInBits;
  static constexpr const Key& kSecAttrIsPermanent = ::kSecAttrIsPermanent;
  static constexpr const Key& kSecAttrIsSensitive = ::kSecAttrIsSensitive;
  static constexpr const Key& kSecAttrIsExtractable = ::kSecAttrIsExtractable;
  static constexpr const Key& kSecAttrCanSign = ::kSecAttrCanSign;
  static constexpr const Key& kSecAttrSynchronizable = ::kSecAttrSynchronizable;
  static constexpr const Key& kSecAttrTokenID = ::kSecAttrTokenID;
  static constexpr const Key& kSecMatchSearchList = ::kSecMatchSearchList;
  static constexpr const Key& kSecMatchLimit = ::kSecMatchLimit;
  static constexpr const Key& kSecMatchLimitOne = ::kSecMatchLimitOne;
  static constexpr const Key& kSecReturnRef = ::kSecReturnRef;
  static constexpr const Key& kSecUseKeychain = ::kSecUseKeychain;
  static constexpr const Key& kSecPrivateKeyAttrs = ::kSecPrivateKeyAttrs;
};

// What a Ref of this layer holds: one reference of the caller's, released when it is dropped.
class FrameworkObject final : public Object {
 public:
  explicit FrameworkObject(CfReference reference) : reference_(std::move(reference)) {}
  CFTypeRef get() const { return reference_.get(); }

 private:
  CfReference reference_;
};

// Takes over an owned reference; a null reference is no object.
Ref hand_out(CFTypeRef owned) {
  CfReference reference(owned);
  if (!reference) return nullptr;
  return std::make_unique<FrameworkObject>(std::move(reference));
}

// Null for an object this layer did not hand out.
CFTypeRef reference_of(const Object& object) {
  const auto* framework_object = dynamic_cast<const FrameworkObject*>(&object);
  return framework_object != nullptr ? framework_object->get() : nullptr;
}

// Null unless the object is a key: the key operations are not defined on anything else.
SecKeyRef key_of(const Object& object) {
  CFTypeRef reference = reference_of(object);
  if (reference == nullptr || CFGetTypeID(reference) != SecKeyGetTypeID()) return nullptr;
  return static_cast<SecKeyRef>(const_cast<void*>(reference));
}

SecKeychainRef keychain_of(const Object& object) {
  return static_cast<SecKeychainRef>(const_cast<void*>(reference_of(object)));
}

CfReference data_object(std::span<const std::uint8_t> bytes) {
  return CfReference(CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size())));
}

// Takes over the data object; none when there is none.
std::optional<Bytes> bytes_of(CFDataRef owned) {
  const CfReference reference(owned);
  if (owned == nullptr) return std::nullopt;
  const UInt8* begin = CFDataGetBytePtr(owned);
  return begin != nullptr ? Bytes(begin, begin + CFDataGetLength(owned)) : Bytes();
}

CfReference dictionary_of(const Attributes& attributes);

// A member's value for the framework: the framework's own constants and booleans and the objects
// the seam holds are lent, what is made here is owned until the dictionary has retained it. value
// is null when it cannot be made.
struct MemberValue {
  CFTypeRef value = nullptr;
  CfReference made;
};

MemberValue made(CfReference reference) {
  CFTypeRef value = reference.get();
  return {value, std::move(reference)};
}

struct MemberValueOf {
  MemberValue operator()(bool flag) const { return {flag ? kCFBooleanTrue : kCFBooleanFalse, {}}; }
  MemberValue operator()(std::int64_t number) const {
    return made(CfReference(CFNumberCreate(nullptr, kCFNumberSInt64Type, &number)));
  }
  MemberValue operator()(const std::string& text) const {
    return made(CfReference(
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false)));
  }
  MemberValue operator()(const Bytes& bytes) const { return made(data_object(bytes)); }
  MemberValue operator()(Constant constant) const {
    return {*constant_key<SecurityConstants>(constant), {}};
  }
  MemberValue operator()(const std::vector<SharedRef>& objects) const {
    std::vector<const void*> references;
    for (const SharedRef& object : objects) {
      CFTypeRef reference = object ? reference_of(*object) : nullptr;
      if (reference == nullptr) return {};
      references.push_back(reference);
    }
    return made(CfReference(CFArrayCreate(nullptr, references.data(),
                                          static_cast<CFIndex>(references.size()),
                                          &kCFTypeArrayCallBacks)));
  }
  MemberValue operator()(const SharedRef& object) const {
    return {object ? reference_of(*object) : nullptr, {}};
  }
  MemberValue operator()(const std::shared_ptr<const Attributes>& nested) const {
    return made(dictionary_of(*nested));
  }
};

// For a dictionary the table has found expressible; null when a member cannot be made.
CfReference dictionary_of(const Attributes& attributes) {
  CFMutableDictionaryRef dictionary =
      CFDictionaryCreateMutable(nullptr, static_cast<CFIndex>(attributes.members.size()),
                                &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CfReference owned(dictionary);
  if (dictionary == nullptr) return {};
  for (const auto& [name, value] : attributes.members) {
    const MemberValue member = std::visit(MemberValueOf{}, value);
    if (member.value == nullptr) return {};
    CFDictionarySetValue(dictionary, *attribute_row<SecurityConstants>(name).key, member.value);
  }
  return owned;
}

// Null when the framework cannot be handed the dictionary.
CfReference framework_dictionary(const Attributes& attributes) {
  return expressible<SecurityConstants>(attributes) ? dictionary_of(attributes) : CfReference();
}

CFDictionaryRef as_dictionary(const CfReference& dictionary) {
  return static_cast<CFDictionaryRef>(dictionary.get());
}

std::optional<std::int64_t> number_of(CFTypeRef value) {
  std::int64_t number = 0;
  if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number)) {
    return std::nullopt;
  }
  return number;
}

std::optional<Constant> key_type_of(CFTypeRef value) {
  if (value == nullptr) return std::nullopt;
  for (Constant type : {Constant::kSecAttrKeyTypeRSA, Constant::kSecAttrKeyTypeECSECPrimeRandom}) {
    if (CFEqual(value, *constant_key<SecurityConstants>(type))) return type;
  }
  return std::nullopt;
}

// A boolean as itself; anything else as the object, which the policy does not take for "no".
AttrValue flag_of(CFTypeRef value) {
  if (CFGetTypeID(value) == CFBooleanGetTypeID()) {
    return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
  }
  return SharedRef(hand_out(CFRetain(value)));
}

// The login keychain is a file-based keychain, which only the SecKeychain interface opens by its
// path; the SDK marks that interface deprecated, and only these two calls are made through it.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
OSStatus keychain_open(const char* path, SecKeychainRef* keychain) {
  return SecKeychainOpen(path, keychain);
}
OSStatus keychain_get_status(SecKeychainRef keychain, SecKeychainStatus* status) {
  return SecKeychainGetStatus(keychain, status);
}
#pragma clang diagnostic pop

SecKeyAlgorithm framework_algorithm(KeyAlgorithm algorithm) {
  switch (algorithm) {
    case KeyAlgorithm::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256:
      return kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256;
  }
  return nullptr;  // a value outside the enumeration names no algorithm
}

}  // namespace

OSStatus MacosKeychain::sec_keychain_open(const std::string& path, Ref& keychain) {
  return guarded([&] {
    SecKeychainRef opened = nullptr;
    const OSStatus status = keychain_open(path.c_str(), &opened);
    Ref object = hand_out(opened);
    if (status == errSecSuccess) keychain = std::move(object);
    return status;
  });
}

OSStatus MacosKeychain::sec_keychain_get_status(const Object& keychain, std::uint32_t& status) {
  return guarded([&]() -> OSStatus {
    SecKeychainRef reference = keychain_of(keychain);
    if (reference == nullptr) return errSecParam;
    SecKeychainStatus word = 0;
    const OSStatus result = keychain_get_status(reference, &word);
    status = word;
    return result;
  });
}

OSStatus MacosKeychain::sec_item_copy_matching(const Attributes& query, Ref& item) {
  return guarded([&]() -> OSStatus {
    const CfReference dictionary = framework_dictionary(query);
    if (!dictionary) return errSecParam;
    CFTypeRef found = nullptr;
    const OSStatus status = SecItemCopyMatching(as_dictionary(dictionary), &found);
    Ref object = hand_out(found);
    if (status == errSecSuccess) item = std::move(object);
    return status;
  });
}

OSStatus MacosKeychain::sec_item_delete(const Attributes& query) {
  return guarded([&]() -> OSStatus {
    const CfReference dictionary = framework_dictionary(query);
    if (!dictionary) return errSecParam;
    return SecItemDelete(as_dictionary(dictionary));
  });
}

CFTypeID MacosKeychain::cf_get_type_id(const Object& object) {
  return guarded([&]() -> CFTypeID {
    CFTypeRef reference = reference_of(object);
    return reference != nullptr ? CFGetTypeID(reference) : 0;
  });
}

CFTypeID MacosKeychain::sec_key_get_type_id() {
  return guarded([] { return SecKeyGetTypeID(); });
}

Ref MacosKeychain::sec_key_create_random_key(const Attributes& parameters, Ref& error) {
  return guarded([&]() -> Ref {
    const CfReference dictionary = framework_dictionary(parameters);
    if (!dictionary) return nullptr;
    CFErrorRef failure = nullptr;
    SecKeyRef key = SecKeyCreateRandomKey(as_dictionary(dictionary), &failure);
    Ref created = hand_out(key);
    error = hand_out(failure);
    return created;
  });
}

std::optional<Attributes> MacosKeychain::sec_key_copy_attributes(const Object& key) {
  return guarded([&]() -> std::optional<Attributes> {
    SecKeyRef reference = key_of(key);
    if (reference == nullptr) return std::nullopt;
    CFDictionaryRef dictionary = SecKeyCopyAttributes(reference);
    const CfReference owned(dictionary);
    if (dictionary == nullptr) return std::nullopt;
    Attributes attributes;
    if (auto bits = number_of(CFDictionaryGetValue(dictionary, kSecAttrKeySizeInBits))) {
      attributes.set(Attr::kSecAttrKeySizeInBits, *bits);
    }
    if (auto type = key_type_of(CFDictionaryGetValue(dictionary, kSecAttrKeyType))) {
      attributes.set(Attr::kSecAttrKeyType, *type);
    }
    if (CFTypeRef flag = CFDictionaryGetValue(dictionary, kSecAttrIsExtractable)) {
      attributes.set(Attr::kSecAttrIsExtractable, flag_of(flag));
    }
    return attributes;
  });
}

Ref MacosKeychain::sec_key_copy_public_key(const Object& key) {
  return guarded([&]() -> Ref {
    SecKeyRef reference = key_of(key);
    return reference != nullptr ? hand_out(SecKeyCopyPublicKey(reference)) : nullptr;
  });
}

std::optional<Bytes> MacosKeychain::sec_key_copy_external_representation(const Object& key,
                                                                         Ref& error) {
  return guarded([&]() -> std::optional<Bytes> {
    SecKeyRef reference = key_of(key);
    if (reference == nullptr) return std::nullopt;
    CFErrorRef failure = nullptr;
    std::optional<Bytes> bytes = bytes_of(SecKeyCopyExternalRepresentation(reference, &failure));
    error = hand_out(failure);
    return bytes;
  });
}

// The seam's operation types carry the framework's values (signing is 0).
bool MacosKeychain::sec_key_is_algorithm_supported(const Object& key, KeyOperationType operation,
                                                   KeyAlgorithm algorithm) {
  return guarded([&] {
    SecKeyRef reference = key_of(key);
    SecKeyAlgorithm framework = framework_algorithm(algorithm);
    return reference != nullptr && framework != nullptr &&
           SecKeyIsAlgorithmSupported(reference, static_cast<SecKeyOperationType>(operation),
                                      framework) != 0;
  });
}

std::optional<Bytes> MacosKeychain::sec_key_create_signature(const Object& key,
                                                             KeyAlgorithm algorithm,
                                                             std::span<const std::uint8_t> data,
                                                             Ref& error) {
  return guarded([&]() -> std::optional<Bytes> {
    SecKeyRef reference = key_of(key);
    SecKeyAlgorithm framework = framework_algorithm(algorithm);
    const CfReference signed_data = data_object(data);
    if (reference == nullptr || framework == nullptr || !signed_data) return std::nullopt;
    CFErrorRef failure = nullptr;
    std::optional<Bytes> signature = bytes_of(SecKeyCreateSignature(
        reference, framework, static_cast<CFDataRef>(signed_data.get()), &failure));
    error = hand_out(failure);
    return signature;
  });
}

}  // namespace ktarn::platform::macos
