// A keychain that lives in memory and does what a test tells it to. By default it behaves like a
// login keychain that exists, opens and is unlocked, finds stored keys by the members of a query,
// creates keys on request and deletes what a query matches. Every result can be overridden, every
// operation can be made to raise the platform exception, and every call is recorded by name in
// order together with a copy of each dictionary it was handed. The objects it hands out count
// themselves in the platform's live counter.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bridge/platform/keychain.hpp"
#include "bridge/platform/scripted/counted_object.hpp"

namespace ktarn::platform::scripted {

// A dictionary the keychain was handed, as plain text, one entry per member, so that a test can
// compare a whole query with one literal and the record holds no reference to a platform object
// (a recorded keychain would otherwise stay open). Member name -> value text. Nested
// dictionaries are flattened into "outer.inner" names; values read "true", "2048", "\"text\"",
// "<bytes as text>", constant names, "[a, b]" for lists and the object's description (a
// keychain: "keychain <path>").
using RecordedAttributes = std::map<std::string, std::string>;

class ScriptedKeychain final : public platform::Keychain {
 public:
  // A key item as the keychain keeps it.
  struct StoredKey {
    Attributes item;                     // what lookups and deletions match against
    std::optional<Attributes> reported;  // what SecKeyCopyAttributes gives; none: unreadable
    bool is_key = true;                  // false: the item is an object of another type
    bool has_public_key = true;
    std::optional<Bytes> public_der;  // none: the export fails
    bool signs = true;                // SecKeyIsAlgorithmSupported
    bool signing_fails = false;
  };

  class KeychainObject final : public CountedObject {
   public:
    KeychainObject(int& live, std::string path) : CountedObject(live), path(std::move(path)) {}
    const std::string path;
  };

  class KeyObject final : public CountedObject {
   public:
    KeyObject(int& live, std::shared_ptr<StoredKey> key, bool public_half)
        : CountedObject(live), key(std::move(key)), public_half(public_half) {}
    const std::shared_ptr<StoredKey> key;
    const bool public_half;
  };

  static constexpr CFTypeID kKeyTypeId = 7;
  static constexpr CFTypeID kOtherTypeId = 1;

  explicit ScriptedKeychain(int& live);

  // A conforming device key stored under the tag: RSA-2048, private, not extractable, labelled
  // with the tag, not synchronizable. The caller may change it before the bridge call.
  StoredKey& add_key(const std::string& tag);
  // The signature the scripted keys make: "sig:" followed by the signed bytes.
  static Bytes signature_over(std::span<const std::uint8_t> data);

  // The script.
  std::string home = "/home/tester";
  std::set<std::string> existing_paths;
  OSStatus open_status = errSecSuccess;
  OSStatus get_status_result = errSecSuccess;
  std::uint32_t status_word = kSecUnlockStateStatus | 2 | 4;
  std::optional<OSStatus> copy_matching_status;  // forced status, no item
  std::optional<OSStatus> delete_status;         // forced status, nothing removed
  bool creation_fails = false;
  bool creation_stores = true;  // false: the new key is not found again
  std::set<std::string> throwing;

  // The state and what was asked.
  std::vector<std::shared_ptr<StoredKey>> items;
  std::vector<std::string> calls;
  std::vector<std::string> opened_paths;
  std::vector<RecordedAttributes> dictionaries;  // queries and creation parameters, in order
  std::vector<Bytes> signed_data;

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
  void enter(const char* operation);
  void record(const Attributes& dictionary);
  Ref error_object();
  std::shared_ptr<StoredKey> stored_key(const Object& key) const;

  int& live_;
};

}  // namespace ktarn::platform::scripted
