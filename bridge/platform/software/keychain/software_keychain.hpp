// The software login keychain: the Linux platform's keychain, item and key operations. A keychain
// is an SQLite database file at the path the key store chooses; key items carry their attributes
// and an RSA private key (OpenSSL); every operation is one transaction, and processes sharing a
// keychain wait for each other. Objects from another implementation are refused with errSecParam.
// The status codes are those of keychain_status.hpp.
//
// What it keeps between calls, for as long as the process lives (the default platform's
// instance), because setting each up again costs more than a whole operation, and how each is
// proven still valid before it is used:
// - The SQLite connection of the last keychain opened, with its prepared statements and the
//   keychain's folder held open. Every open vets the folders and the file again, and the
//   connection is reused only while the path names the very file, in the very folder, it was
//   opened on; a file whose size or change time moved since it last proved to be a sound
//   keychain is checked again first. While the connection is kept, that proof is made from the
//   folders' entries without opening them again, and the side files are looked for again only
//   when the folder's change time moved since it last held none (or had not yet settled). SQLite
//   itself rereads what another process committed at the start of each transaction, and the
//   statements are found by their text.
// - The home folder, resolved once, so that a home reached through a symbolic link names one
//   folder for the whole run; the folders below it are vetted at every open.
// - One instance of each storage kind (key_kinds.hpp), with what it keeps: the TPM's provider,
//   loaded on first use of a TPM key (or when a new keychain asks whether a TPM answers); a
//   provider whose TPM stopped answering is loaded afresh on the next use, and the watchdog
//   thread that bounds each TPM call (tpm_key.hpp); and the Secret Service connection with the
//   wrapping key last read through it, kept only until the service says anything changed, which
//   every status check of a sealed keychain asks first (secret_service.hpp).
// - Keys already decoded (at most eight, and no more of a kind than the kind allows: one loaded
//   into a TPM), each with its signing context. A key is found only by the exact bytes just read
//   from the keychain for this use at the same row, so a changed, replaced or removed item is
//   never answered from memory; removing items forgets them all at once, and so does a status
//   check that finds a keychain's keys withheld by its kind.
// - Within one bridge call only: the read the keychain's status check begins, which the lookup
//   that follows takes over, so the lock state and the item come from one state of the file. It
//   ends with that lookup, with any other transaction, or when the keychain object is released,
//   whichever comes first; a file replaced meanwhile is found out by the next open.
#pragma once

#include "bridge/platform/keychain.hpp"
#include "bridge/platform/software/keychain/key_item.hpp"
#include "bridge/platform/software/keychain/keychain_database.hpp"
#include "bridge/platform/software/keys/decoded_key_cache.hpp"
#include "bridge/platform/software/keys/key_kinds.hpp"

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
  StatusOr<Ref> key_object(KeyItem item, std::string_view keychain_identity);
  // The identity the keychain recorded for its kind while its keys can be used now, inside the
  // caller's transaction; errSecInteractionNotAllowed while it is locked or its kind withholds
  // its keys, and then no key stays decoded in this process.
  StatusOr<std::string> usable_keychain(KeychainDatabase& database);
  StatusOr<std::shared_ptr<KeychainDatabase>> connection(const std::string& path);

  KeyKinds kinds_;  // before the keys, which they outlive
  DecodedKeyCache decoded_keys_;
  std::shared_ptr<KeychainDatabase> last_connection_;
  std::string home_;
};

}  // namespace ktarn::platform::software
