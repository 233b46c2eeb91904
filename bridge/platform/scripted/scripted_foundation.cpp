#include "bridge/platform/scripted/scripted_foundation.hpp"

namespace ktarn::platform::scripted {

void ScriptedFoundation::enter(const char* operation) {
  calls.emplace_back(operation);
  if (throwing.contains(operation)) throw PlatformException(operation);
}

std::optional<std::string> ScriptedFoundation::string_with_utf8_string(const char* bytes) {
  enter("stringWithUTF8String");
  return software_.string_with_utf8_string(bytes);
}

std::string ScriptedFoundation::base64_encoded_string(std::span<const std::uint8_t> bytes) {
  enter("base64EncodedString");
  return software_.base64_encoded_string(bytes);
}

std::optional<Bytes> ScriptedFoundation::init_with_base64_encoded_string(std::string_view text) {
  enter("initWithBase64EncodedString");
  return software_.init_with_base64_encoded_string(text);
}

std::optional<std::string> ScriptedFoundation::data_with_json_object(const Value& object) {
  enter("dataWithJSONObject");
  if (serialisation_fails) return std::nullopt;
  return software_.data_with_json_object(object);
}

void* ScriptedFoundation::malloc(std::size_t size) {
  enter("malloc");
  allocations.push_back(size);
  if (malloc_fails) return nullptr;
  return software_.malloc(size);
}

}  // namespace ktarn::platform::scripted
