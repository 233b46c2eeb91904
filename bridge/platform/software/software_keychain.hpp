// The software login keychain: the Linux platform's keychain, item and key operations. A keychain
// is an SQLite database file at the path the key store chooses; key items carry their attributes
// and an RSA private key (OpenSSL); every operation is one transaction, and processes sharing a
// keychain wait for each other. Objects from another implementation are refused with errSecParam.
// The status codes are those of keychain_status.hpp.
#pragma once

#include "bridge/platform/keychain.hpp"
#include "bridge/platform/software/decoded_key_cache.hpp"
#include "bridge/platform/software/key_item.hpp"
#include "bridge/platform/software/keychain_database.hpp"

namespace ktarn::platform::software {

class SoftwareKeychain final : public Keychain {
 public:
  std::string ns_home_directory() override;
  bool file_exists_at_path(const std::string& path) override;
  OSStatus sec_keychain_open(const std::string& path, Ref& keychain) override;
  OSStatus sec_keychain_get_status(const Object& keychain, std::uint32_t& status) override;
  OSStatus sec_item_copy_matching(const Attributes& query, Ref& item) override;
  OSStatus sec_item_delete(const Attributes& query) override;
  CFTypeID cf_get_type_id(const Object& object) override;
  CFTypeID sec_key_get_type_id() override;
  Ref sec_key_create_random_key(const Attributes& parameters, Ref& error) override;
  std::optional<Attributes> sec_key_copy_attributes(const Object& key) override;
  Ref sec_key_copy_public_key(const Object& key) override;
  std::optional<Bytes> sec_key_copy_external_representation(const Object& key, Ref& error) override;
  bool sec_key_is_algorithm_supported(const Object& key, KeyOperationType operation,
                                      KeyAlgorithm algorithm) override;
  std::optional<Bytes> sec_key_create_signature(const Object& key, KeyAlgorithm algorithm,
                                                std::span<const std::uint8_t> data,
                                                Ref& error) override;

 private:
  Ref key_object(KeyItem item);
  StatusOr<std::shared_ptr<KeychainDatabase>> connection(const std::string& path);

  // Decoded keys outlive one call only inside this object, which lives as long as the process.
  DecodedKeyCache decoded_keys_;
  // The database connection of the last keychain opened, reused while the same file is vetted
  // at the same path, since setting up a connection costs more than the whole operation.
  std::shared_ptr<KeychainDatabase> last_connection_;
  std::string home_;  // the resolved home folder, once asked for
};

}  // namespace ktarn::platform::software
