#include "bridge/platform/software/foundation/software_foundation.hpp"

#include <cstdlib>
#include <cstring>

#include "base/base64.hpp"
#include "base/utf8.hpp"
#include "bridge/platform/software/foundation/envelope_json.hpp"

namespace ktarn::platform::software {

std::optional<std::string> SoftwareFoundation::string_with_utf8_string(const char* bytes) {
  if (bytes == nullptr) return std::nullopt;
  std::string text(bytes, std::strlen(bytes));
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

std::string SoftwareFoundation::base64_encoded_string(std::span<const std::uint8_t> bytes) {
  return base64_encode(bytes);
}

std::optional<Bytes> SoftwareFoundation::init_with_base64_encoded_string(std::string_view text) {
  return base64_decode_strict(text);
}

std::optional<std::string> SoftwareFoundation::data_with_json_object(const Value& object) {
  return serialise_envelope_json(object);
}

void* SoftwareFoundation::malloc(std::size_t size) {
  return std::malloc(size);
}

}  // namespace ktarn::platform::software
