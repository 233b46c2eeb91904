#include "macos/native_bridge_client.hpp"

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "json/parse_json.hpp"

namespace ktarn::macos {
namespace {

using json::JsonValue;

// A text with a NUL byte cannot cross the C interface without being cut short there.
bool passable(std::string_view text) {
  return text.find('\0') == std::string_view::npos;
}

// Hands the bridge's buffer back exactly once, also when copying it fails.
struct Release {
  void (*release)(char* buffer);
  void operator()(char* buffer) const { release(buffer); }
};

OperationOutcome envelope_outcome(const JsonValue& envelope) {
  const JsonValue* ok = json::find_member(envelope, "ok");
  if (ok != nullptr && ok->as_boolean() == true) {
    const JsonValue* result = json::find_member(envelope, "result");
    return result != nullptr ? *result : JsonValue();
  }
  const JsonValue* error = json::find_member(envelope, "error");
  const auto message = error != nullptr ? error->as_string() : std::nullopt;
  return failure(message ? std::string(*message) : "macOS operation failed");
}

}  // namespace

OperationOutcome call_native_bridge(std::string_view key_name, std::string_view operation,
                                    std::string_view argument, const BridgeFunctions& bridge) {
  if (!passable(key_name)) return failure("Invalid key name");
  if (!passable(operation)) return failure("Invalid operation");
  if (!passable(argument)) return failure("Invalid argument");
  const std::string key_text(key_name);
  const std::string operation_text(operation);
  const std::string argument_text(argument);
  std::unique_ptr<char, Release> reply(
      bridge.call(key_text.c_str(), operation_text.c_str(), argument_text.c_str()),
      Release{bridge.release});
  if (reply == nullptr) return failure("macOS native bridge could not allocate a response");
  const std::string text(reply.get());
  reply.reset();  // the bridge's buffer goes back before anything is made of its contents
  const auto parsed = json::parse_json_bytes(
      std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
  if (!parsed.has_value()) return failure("Invalid macOS native response");
  return envelope_outcome(*parsed);
}

BinaryMember binary_member(const json::JsonValue& result, std::string_view name,
                           const BinaryMemberMessages& messages) {
  const JsonValue* member = json::find_member(result, name);
  if (member == nullptr || !member->as_string()) {
    return Unexpected(std::string(messages.missing));
  }
  std::optional<Bytes> bytes = base64_decode_strict(*member->as_string());
  if (!bytes) return Unexpected(std::string(messages.bad_encoding));
  return std::move(*bytes);
}

}  // namespace ktarn::macos
