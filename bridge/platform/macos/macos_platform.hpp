// The macOS platform: each seam operation is the one framework call its seam comment names,
// with the conversions between the seam's values and the frameworks' objects around it.
//
// Ownership. Every reference a Copy or Create call hands back (a keychain, an item, a key, a
// dictionary, a data object, an error) is held in an OwnedReference and released exactly once
// with CFRelease; a reference the seam hands to the bridge logic is a Ref owning one such
// reference, so it is released when the logic drops the Ref. The error object that comes back
// beside a failed result is handed on unread in the same way. Constants and the booleans
// kCFBooleanTrue and kCFBooleanFalse are the frameworks' own and are never released.
//
// The Objective-C++ sources (.mm) are compiled with automatic reference counting (ARC): the
// objects of the Objective-C classes (strings, data, dictionaries, the running application) are
// released by the compiler, the running application when the Ref holding it is dropped. Nothing
// crosses between the two kinds of ownership: no Core Foundation reference is given to ARC, and
// no Objective-C object is released with CFRelease.
//
// Every operation runs through guarded (exception_edge.hpp): a release scope of its own, and an
// NSException becomes the seam's PlatformException. Every other failure is the status, none or
// false the seam describes. A dictionary the frameworks cannot be handed (attribute_table.hpp)
// is refused without any framework call: a query with errSecParam (-50), creation parameters
// with no key.
#pragma once

#include "bridge/platform/desktop.hpp"
#include "bridge/platform/foundation.hpp"
#include "bridge/platform/keychain.hpp"

namespace ktarn::platform::macos {

class MacosFoundation final : public Foundation {
 public:
  // The bytes themselves when the string can be made of them, so that a key name reaches the
  // keychain exactly as it arrived.
  std::optional<std::string> string_with_utf8_string(const char* bytes) override;
  std::string base64_encoded_string(std::span<const std::uint8_t> bytes) override;
  std::optional<Bytes> init_with_base64_encoded_string(std::string_view text) override;
  // None when a text in the value is not well-formed UTF-8.
  std::optional<std::string> data_with_json_object(const Value& object) override;
  void* malloc(std::size_t size) override;
};

class MacosKeychain final : public Keychain {
 public:
  // In its file-system representation, which is what SecKeychainOpen is given.
  std::string ns_home_directory() override;
  bool file_exists_at_path(const std::string& path) override;
  OSStatus sec_keychain_open(const std::string& path, Ref& keychain) override;
  OSStatus sec_keychain_get_status(const Object& keychain, std::uint32_t& status) override;
  OSStatus sec_item_copy_matching(const Attributes& query, Ref& item) override;
  OSStatus sec_item_delete(const Attributes& query) override;
  // 0, which is no type, for an object this layer did not hand out.
  CFTypeID cf_get_type_id(const Object& object) override;
  CFTypeID sec_key_get_type_id() override;
  Ref sec_key_create_random_key(const Attributes& parameters, Ref& error) override;
  // The key type as a seam constant only when it is the framework's RSA or elliptic-curve
  // constant; an extractability flag that is not a boolean is handed on as an object.
  std::optional<Attributes> sec_key_copy_attributes(const Object& key) override;
  Ref sec_key_copy_public_key(const Object& key) override;
  std::optional<Bytes> sec_key_copy_external_representation(const Object& key, Ref& error) override;
  bool sec_key_is_algorithm_supported(const Object& key, KeyOperationType operation,
                                      KeyAlgorithm algorithm) override;
  std::optional<Bytes> sec_key_create_signature(const Object& key, KeyAlgorithm algorithm,
                                                std::span<const std::uint8_t> data,
                                                Ref& error) override;
};

class MacosDesktop final : public Desktop {
 public:
  CGError cg_get_active_display_list(std::uint32_t max_displays,
                                     std::uint32_t& display_count) override;
  Ref frontmost_application() override;
  std::int32_t process_identifier(const Object& application) override;
  std::optional<std::string> localized_name(const Object& application) override;
  std::unique_ptr<std::int32_t[]> calloc_pid_block(std::size_t count) override;
  int proc_listallpids(std::span<std::int32_t> block) override;
  int proc_name(std::int32_t pid, std::span<char> buffer) override;
  int compare(const std::string& a, const std::string& b) override;
};

}  // namespace ktarn::platform::macos
