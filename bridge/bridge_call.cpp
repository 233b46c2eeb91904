#include "bridge/bridge_call.hpp"

#include <cstring>

#include "bridge/envelope.hpp"
#include "bridge/key_namespace.hpp"
#include "bridge/operation_table.hpp"

namespace ktarn::bridge {
namespace {

std::optional<platform::Dictionary> dispatch(platform::Platform& platform,
                                             const std::string& key_name,
                                             const std::optional<std::string>& word,
                                             const std::optional<std::string>& argument,
                                             MessageSlot& error) {
  const BridgeOperation* operation = find_bridge_operation(word);
  if (operation == nullptr) {
    error = "Unsupported macOS native operation";
    return std::nullopt;
  }
  return operation->run(platform, key_name, argument, error);
}

// Everything up to the finished envelope runs under the guard: a platform exception discards
// whatever the operation had gathered, and the call answers with the fallback envelope instead.
platform::Value guarded_envelope(platform::Platform& platform, const char* key_name_bytes,
                                 const char* operation_bytes, const char* argument_bytes) {
  try {
    platform::Foundation& foundation = platform.foundation;
    const auto key_name = foundation.string_with_utf8_string(key_name_bytes);
    const auto word = foundation.string_with_utf8_string(operation_bytes);
    const auto argument = foundation.string_with_utf8_string(argument_bytes);
    MessageSlot error;
    std::optional<platform::Dictionary> result;
    if (is_application_key_name(key_name)) {
      result = dispatch(platform, *key_name, word, argument, error);
    } else {
      error = "Invalid application key namespace";
    }
    return response_envelope(std::move(result), error);
  } catch (const platform::PlatformException&) {
    return fallback_envelope();
  }
}

// The envelope's text in a buffer of its own. A platform exception this late has no envelope
// left to report it in, so it yields NULL, like a serialiser or allocator that fails.
char* serialised_buffer(platform::Foundation& foundation, const platform::Value& envelope) {
  try {
    const auto text = foundation.data_with_json_object(envelope);
    if (!text) return nullptr;
    auto* buffer = static_cast<char*>(foundation.malloc(text->size() + 1));
    if (buffer == nullptr) return nullptr;
    std::memcpy(buffer, text->data(), text->size());
    buffer[text->size()] = '\0';
    return buffer;
  } catch (const platform::PlatformException&) {
    return nullptr;
  }
}

}  // namespace

char* bridge_call(platform::Platform& platform, const char* key_name, const char* operation,
                  const char* argument) {
  const platform::Value envelope = guarded_envelope(platform, key_name, operation, argument);
  return serialised_buffer(platform.foundation, envelope);
}

}  // namespace ktarn::bridge
