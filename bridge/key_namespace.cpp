#include "bridge/key_namespace.hpp"

#include <cstdint>

namespace ktarn::bridge {
namespace {

// Each UTF-8 sequence is one UTF-16 code unit, except the four-byte ones (characters outside
// the Basic Multilingual Plane), which need a surrogate pair.
std::size_t utf16_length(const std::string& text) {
  std::size_t units = 0;
  for (char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;
  }
  return units;
}

}  // namespace

bool is_application_key_name(const std::optional<std::string>& key_name) {
  return key_name && key_name->starts_with(kApplicationKeyPrefix) &&
         utf16_length(*key_name) <= kMaxApplicationKeyLength;
}

}  // namespace ktarn::bridge
