// The platform's general services that every bridge operation leans on: text from the host,
// Base64, the JSON serialiser of the response envelope, and the allocator of the response buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bridge/platform/attributes.hpp"
#include "bridge/platform/value.hpp"

namespace ktarn::platform {

class Foundation {
 public:
  virtual ~Foundation() = default;

  // NSString stringWithUTF8String: none for NULL or for bytes that are not well-formed UTF-8.
  virtual std::optional<std::string> string_with_utf8_string(const char* bytes) = 0;
  // NSData base64EncodedStringWithOptions: 0 (standard alphabet, "=" padding, no line breaks).
  virtual std::string base64_encoded_string(std::span<const std::uint8_t> bytes) = 0;
  // NSData initWithBase64EncodedString:options: 0; none when the text is not valid Base64
  // (anything outside the alphabet, white space and line breaks included).
  virtual std::optional<Bytes> init_with_base64_encoded_string(std::string_view text) = 0;
  // NSJSONSerialization dataWithJSONObject:options:error: with options 0: compact JSON, member
  // order free, "/" written as "\/"; none when the value cannot be serialised.
  virtual std::optional<std::string> data_with_json_object(const Value& object) = 0;
  // malloc: the response buffer, released by the caller with free; nullptr on exhaustion.
  virtual void* malloc(std::size_t size) = 0;
};

}  // namespace ktarn::platform
