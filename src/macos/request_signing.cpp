#include "macos/request_signing.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "base/base64.hpp"
#include "base/sha256.hpp"
#include "json/write_json.hpp"

namespace ktarn::macos {
namespace {

constexpr std::int64_t kProtocolVersion = 1;
constexpr std::string_view kAudience = "ktarn-sealed-browser";
constexpr std::array<std::string_view, 3> kPurposes = {"challenge", "request", "events"};
constexpr std::size_t kMaxCanonicalPayloadBytes = 32768;

// "protocol" must be the integer 1 as the parser holds it: 1.0 or 1e0 are doubles and fail.
bool names_protocol(const json::JsonValue& payload) {
  const json::JsonValue* protocol = json::find_member(payload, "protocol");
  return protocol != nullptr && protocol->as_signed_integer() == kProtocolVersion;
}

// The text of a string member, or nothing when it is missing or not a string.
std::optional<std::string_view> string_member(const json::JsonValue& payload,
                                              std::string_view name) {
  const json::JsonValue* member = json::find_member(payload, name);
  return member == nullptr ? std::nullopt : member->as_string();
}

// The context binds each signature to this system and one of its purposes, compared byte for
// byte. A payload that is not an object has no members and so never passes.
bool has_signing_context(const json::JsonValue& payload) {
  if (!names_protocol(payload)) return false;
  const auto audience = string_member(payload, "audience");
  if (!audience || *audience != kAudience) return false;
  const auto purpose = string_member(payload, "purpose");
  return purpose && std::ranges::find(kPurposes, *purpose) != kPurposes.end();
}

json::JsonValue signing_result(std::string_view canonical, ByteView signature) {
  json::JsonValue result = json::JsonValue::object();
  result.insert("payload", json::JsonValue::string(base64url_encode(as_bytes(canonical))));
  result.insert("signature", json::JsonValue::string(base64url_encode(signature)));
  return result;
}

}  // namespace

OperationOutcome sign_request(std::string_view key_name, const json::JsonValue& request,
                              std::optional<std::string_view> payload_text,
                              const BridgeFunctions& bridge) {
  const json::JsonValue* payload = json::find_member(request, "payload");
  if (payload == nullptr || !has_signing_context(*payload)) {
    return failure("Signing context rejected");
  }
  // The signed bytes are the writer's form of the parsed value. The request's own text is used
  // only when the reader has proven it to be exactly those bytes, which spares writing a large
  // payload again.
  std::string written;
  if (!payload_text) written = json::write_json(*payload);
  const std::string_view canonical = payload_text ? *payload_text : written;
  if (canonical.size() > kMaxCanonicalPayloadBytes) return failure("Payload too large");
  const std::string digest = base64_encode(sha256(as_bytes(canonical)));
  const OperationOutcome reply = call_native_bridge(key_name, "sign", digest, bridge);
  if (!reply) return reply;
  const BinaryMember signature =
      binary_member(*reply, "signature", {"Missing signature", "Invalid signature encoding"});
  if (!signature) return failure(signature.error());
  return signing_result(canonical, *signature);
}

}  // namespace ktarn::macos
