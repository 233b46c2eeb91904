#include "bridge/platform/software/software_foundation.hpp"

#include <cstdlib>
#include <cstring>

#include "bridge/platform/software/envelope_json.hpp"
#include "bridge/platform/software/standard_base64.hpp"
#include "bridge/platform/software/well_formed_utf8.hpp"

namespace ktarn::platform::software {

std::optional<std::string> SoftwareFoundation::string_with_utf8_string(const char* bytes) {
  if (bytes == nullptr) return std::nullopt;
  std::string text(bytes, std::strlen(bytes));
  if (!is_well_formed_utf8(text)) return std::nullopt;
  return text;
}

std::string SoftwareFoundation::base64_encoded_string(std::span<const std::uint8_t> bytes) {
  return encode_standard_base64(bytes);
}

std::optional<Bytes> SoftwareFoundation::init_with_base64_encoded_string(std::string_view text) {
  return decode_standard_base64(text);
}

std::optional<std::string> SoftwareFoundation::data_with_json_object(const Value& object) {
  return serialise_envelope_json(object);
}

void* SoftwareFoundation::malloc(std::size_t size) {
  return std::malloc(size);
}

}  // namespace ktarn::platform::software
