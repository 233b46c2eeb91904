// The Linux platform's general services: strict UTF-8 text from the host, RFC 4648 Base64 in its
// standard padded form, the compact JSON serialiser of response envelopes, and the C allocator.
// Both directions are strict because the same bytes are checked again on the other side of the
// bridge; anything this layer lets through would otherwise be accepted silently there.
#pragma once

#include "bridge/platform/foundation.hpp"

namespace ktarn::platform::software {

class SoftwareFoundation final : public Foundation {
 public:
  // Well-formed UTF-8 only (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
  std::optional<std::string> string_with_utf8_string(const char* bytes) override;
  std::string base64_encoded_string(std::span<const std::uint8_t> bytes) override;
  // Length a multiple of 4, "=" only as one or two final symbols, the bits a short final group
  // leaves over all zero, nothing outside the alphabet.
  std::optional<Bytes> init_with_base64_encoded_string(std::string_view text) override;
  // None when a string in the value is not well-formed UTF-8.
  std::optional<std::string> data_with_json_object(const Value& object) override;
  void* malloc(std::size_t size) override;
};

}  // namespace ktarn::platform::software
