// Stand-in: the Security framework declarations the macOS platform layer uses (see ../README.md).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#pragma clang assume_nonnull begin

extern "C" {

typedef SInt32 OSStatus;
enum : OSStatus { errSecParam = -50 };

typedef struct __SecKeychain* SecKeychainRef;
typedef struct __SecKey* SecKeyRef;
typedef UInt32 SecKeychainStatus;

// Deprecated since macOS 10.10, with the rest of the SecKeychain interface.
__attribute__((deprecated("SecKeychain is deprecated"))) OSStatus SecKeychainOpen(
    const char* pathName, SecKeychainRef _Nullable* _Nonnull keychain);
__attribute__((deprecated("SecKeychain is deprecated"))) OSStatus SecKeychainGetStatus(
    SecKeychainRef _Nullable keychain, SecKeychainStatus* keychainStatus);

OSStatus SecItemCopyMatching(CFDictionaryRef query, CFTypeRef _Nullable* _Nullable result);
OSStatus SecItemDelete(CFDictionaryRef query);

extern const CFStringRef kSecClass;
extern const CFStringRef kSecClassKey;
extern const CFStringRef kSecAttrKeyType;
extern const CFStringRef kSecAttrKeyTypeRSA;
extern const CFStringRef kSecAttrKeyTypeECSECPrimeRandom;
extern const CFStringRef kSecAttrKeyClass;
extern const CFStringRef kSecAttrKeyClassPrivate;
extern const CFStringRef kSecAttrKeyClassPublic;
extern const CFStringRef kSecAttrApplicationTag;
extern const CFStringRef kSecAttrLabel;
extern const CFStringRef kSecAttrKeySizeInBits;
extern const CFStringRef kSecAttrIsPermanent;
extern const CFStringRef kSecAttrIsSensitive;
extern const CFStringRef kSecAttrIsExtractable;
extern const CFStringRef kSecAttrCanSign;
extern const CFStringRef kSecAttrSynchronizable;
extern const CFStringRef kSecAttrTokenID;
extern const CFStringRef kSecMatchSearchList;
extern const CFStringRef kSecMatchLimit;
extern const CFStringRef kSecMatchLimitOne;
extern const CFStringRef kSecReturnRef;
extern const CFStringRef kSecUseKeychain;
extern const CFStringRef kSecPrivateKeyAttrs;

CFTypeID SecKeyGetTypeID(void);
SecKeyRef _Nullable SecKeyCreateRandomKey(CFDictionaryRef parameters,
                                          CFErrorRef _Nullable* _Nullable error);
CFDictionaryRef _Nullable SecKeyCopyAttributes(SecKeyRef key);
SecKeyRef _Nullable SecKeyCopyPublicKey(SecKeyRef key);
CFDataRef _Nullable SecKeyCopyExternalRepresentation(SecKeyRef key,
                                                     CFErrorRef _Nullable* _Nullable error);

enum SecKeyOperationType : CFIndex { kSecKeyOperationTypeSign = 0 };
typedef CFStringRef SecKeyAlgorithm;
extern const SecKeyAlgorithm kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256;

Boolean SecKeyIsAlgorithmSupported(SecKeyRef key, SecKeyOperationType operation,
                                   SecKeyAlgorithm algorithm);
CFDataRef _Nullable SecKeyCreateSignature(SecKeyRef key, SecKeyAlgorithm algorithm,
                                          CFDataRef dataToSign,
                                          CFErrorRef _Nullable* _Nullable error);

}  // extern "C"

#pragma clang assume_nonnull end
