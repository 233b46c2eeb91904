#include "bridge/bridge_call.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace ktarn::bridge {
namespace {

constexpr std::string_view kApplicationKeyPrefix = "kTARN.";
// Measured in UTF-16 code units, as the platform's strings count them.
constexpr std::size_t kMaxApplicationKeyLength = 120;

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

// The bridge's own test of the application key name, made on every call whatever the host has
// already checked: device keys are only ever looked up, created or removed under names of the
// application's namespace, so a name from elsewhere can never reach another program's keys.
// Present, beginning with the exact prefix (letter case included), and at most 120 UTF-16 code
// units long; the name is well-formed UTF-8, as every converted input is.
bool is_application_key_name(const std::optional<std::string>& key_name) {
  return key_name && key_name->starts_with(kApplicationKeyPrefix) &&
         utf16_length(*key_name) <= kMaxApplicationKeyLength;
}

platform::Value failure_envelope(std::string message) {
  platform::Dictionary envelope;
  envelope.set("ok", platform::Value{false});
  envelope.set("error", platform::Value{std::move(message)});
  return platform::Value{std::move(envelope)};
}

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

platform::Value response_envelope(std::optional<platform::Dictionary> result,
                                  const MessageSlot& error) {
  if (!result) return failure_envelope(error.value_or("macOS operation failed"));
  platform::Dictionary envelope;
  envelope.set("ok", platform::Value{true});
  envelope.set("result", platform::Value{std::move(*result)});
  return platform::Value{std::move(envelope)};
}

const platform::Value& fallback_envelope() {
  static const platform::Value kFallback =
      failure_envelope("macOS native framework operation failed");
  return kFallback;
}

char* bridge_call(platform::Platform& platform, const char* key_name, const char* operation,
                  const char* argument) {
  const platform::Value envelope = guarded_envelope(platform, key_name, operation, argument);
  return serialised_buffer(platform.foundation, envelope);
}

}  // namespace ktarn::bridge
