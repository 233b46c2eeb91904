#include "bridge/platform/software/software_keychain.hpp"

#include <cstdlib>

#include <sys/stat.h>

namespace ktarn::platform::software {

// Placeholder: every keychain operation fails until the keychain database lands.
namespace {
constexpr OSStatus kNotAvailable = -25294;
}

std::string SoftwareKeychain::ns_home_directory() {
  const char* home = std::getenv("HOME");
  return home ? home : "/";
}

bool SoftwareKeychain::file_exists_at_path(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

OSStatus SoftwareKeychain::sec_keychain_open(const std::string&, Ref&) {
  return kNotAvailable;
}

OSStatus SoftwareKeychain::sec_keychain_get_status(const Object&, std::uint32_t&) {
  return kNotAvailable;
}

OSStatus SoftwareKeychain::sec_item_copy_matching(const Attributes&, Ref&) {
  return kNotAvailable;
}

OSStatus SoftwareKeychain::sec_item_delete(const Attributes&) {
  return kNotAvailable;
}

CFTypeID SoftwareKeychain::cf_get_type_id(const Object&) {
  return 0;
}

CFTypeID SoftwareKeychain::sec_key_get_type_id() {
  return 1;
}

Ref SoftwareKeychain::sec_key_create_random_key(const Attributes&, Ref&) {
  return nullptr;
}

std::optional<Attributes> SoftwareKeychain::sec_key_copy_attributes(const Object&) {
  return std::nullopt;
}

Ref SoftwareKeychain::sec_key_copy_public_key(const Object&) {
  return nullptr;
}

std::optional<Bytes> SoftwareKeychain::sec_key_copy_external_representation(const Object&, Ref&) {
  return std::nullopt;
}

bool SoftwareKeychain::sec_key_is_algorithm_supported(const Object&, KeyOperationType,
                                                      KeyAlgorithm) {
  return false;
}

std::optional<Bytes> SoftwareKeychain::sec_key_create_signature(const Object&, KeyAlgorithm,
                                                                std::span<const std::uint8_t>,
                                                                Ref&) {
  return std::nullopt;
}

}  // namespace ktarn::platform::software
