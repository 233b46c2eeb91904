// The keychain and the device key: where the login keychain lives, opening it and asking for its
// lock state, looking up, creating and deleting key items by attribute query, and using a key
// (its attributes, its public half, its export, signing). Results follow the platform's
// conventions: a status code (0 success, -25300 nothing matched), an owned Ref or none, and an
// error object handed back beside a failed result, which the caller releases unread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bridge/platform/attributes.hpp"
#include "bridge/platform/object.hpp"

namespace ktarn::platform {

using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecItemNotFound = -25300;

// Bit 0 of a keychain's status word: set while the keychain is unlocked.
inline constexpr std::uint32_t kSecUnlockStateStatus = 1;

using CFTypeID = std::uint64_t;

enum class KeyOperationType { kSecKeyOperationTypeSign = 0 };
enum class KeyAlgorithm { kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256 };

class Keychain {
 public:
  virtual ~Keychain() = default;

  // NSHomeDirectory: an absolute path.
  virtual std::string ns_home_directory() = 0;
  // NSFileManager fileExistsAtPath: yes when any file-system entry exists there.
  virtual bool file_exists_at_path(const std::string& path) = 0;

  // SecKeychainOpen: status 0 stores an owned keychain reference; other statuses store none.
  virtual OSStatus sec_keychain_open(const std::string& path, Ref& keychain) = 0;
  // SecKeychainGetStatus: bit 0 of the status word set means unlocked.
  virtual OSStatus sec_keychain_get_status(const Object& keychain, std::uint32_t& status) = 0;

  // SecItemCopyMatching: status 0 stores the first matching item (owned); -25300 when none.
  virtual OSStatus sec_item_copy_matching(const Attributes& query, Ref& item) = 0;
  // SecItemDelete: removes every item the query matches; -25300 when none.
  virtual OSStatus sec_item_delete(const Attributes& query) = 0;

  // CFGetTypeID and SecKeyGetTypeID: equal identifiers mean the object is a key.
  virtual CFTypeID cf_get_type_id(const Object& object) = 0;
  virtual CFTypeID sec_key_get_type_id() = 0;

  // SecKeyCreateRandomKey: the new key (already stored in the keychain named by
  // kSecUseKeychain), or none with an error object stored in error.
  virtual Ref sec_key_create_random_key(const Attributes& parameters, Ref& error) = 0;
  // SecKeyCopyAttributes: kSecAttrKeySizeInBits, kSecAttrKeyType and kSecAttrIsExtractable when
  // the platform knows them; none when the attributes cannot be read.
  virtual std::optional<Attributes> sec_key_copy_attributes(const Object& key) = 0;
  // SecKeyCopyPublicKey: the public half of a private key, or none.
  virtual Ref sec_key_copy_public_key(const Object& key) = 0;
  // SecKeyCopyExternalRepresentation: for an RSA public key the PKCS #1 RSAPublicKey DER.
  virtual std::optional<Bytes> sec_key_copy_external_representation(const Object& key,
                                                                    Ref& error) = 0;
  virtual bool sec_key_is_algorithm_supported(const Object& key, KeyOperationType operation,
                                              KeyAlgorithm algorithm) = 0;
  // SecKeyCreateSignature: for the digest algorithm, RSASSA-PKCS1-v1_5 over the given digest.
  virtual std::optional<Bytes> sec_key_create_signature(const Object& key, KeyAlgorithm algorithm,
                                                        std::span<const std::uint8_t> data,
                                                        Ref& error) = 0;
};

}  // namespace ktarn::platform
