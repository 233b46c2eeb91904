#include "verifier/verify_signature.hpp"

#include <algorithm>
#include <array>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "verifier/device_key.hpp"
#include "verifier/rs256.hpp"

namespace ktarn::verifier {
namespace {

constexpr std::size_t kSignatureBytes = 256;
// The one limit on what a verifier takes in: the payload text of the largest payload the
// companion signs (32768 bytes) in URL-safe Base64, refused before any of it is decoded or hashed.
constexpr std::size_t kMaxPayloadText = 43691;
constexpr std::int64_t kProtocolVersion = 1;
constexpr std::string_view kAudience = "ktarn-sealed-browser";
constexpr std::array<std::string_view, 3> kPurposes = {"challenge", "request", "events"};
constexpr std::size_t kWriterLookahead = 64;

// The object a companion answer stands for: the value itself, or the "result" of a success
// response. A failure response, or anything that is not an object, stands for nothing.
const json::JsonValue* answered_object(const json::JsonValue& input) {
  if (!input.as_members()) return nullptr;
  const json::JsonValue* ok = json::find_member(input, "ok");
  if (ok == nullptr) return &input;
  const json::JsonValue* result = json::find_member(input, "result");
  if (ok->as_boolean() != true || result == nullptr || !result->as_members()) return nullptr;
  return result;
}

std::optional<std::string_view> string_member(const json::JsonValue& object,
                                              std::string_view name) {
  const json::JsonValue* member = json::find_member(object, name);
  return member == nullptr ? std::nullopt : member->as_string();
}

std::optional<ktarn::Bytes> binary_member(const json::JsonValue& object, std::string_view name) {
  const auto text = string_member(object, name);
  return text ? base64url_decode_strict(*text) : std::nullopt;
}

std::string_view text_of(const ktarn::Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

struct CanonicalObject {
  json::JsonValue value;
  std::string text;  // the value written canonically, equal to the signed bytes
};

// The signed bytes read as one canonical JSON object: the host's writer must give back exactly
// the bytes that were signed, so no two texts carry the same signed payload. The text written is
// kept as the verified bytes, so the signed bytes need no copy of their own.
Expected<CanonicalObject, Reason> read_canonical_object(std::string_view bytes) {
  json::ParseResult parsed =
      json::parse_json_bytes({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
  if (!parsed || !parsed->as_members()) return Unexpected(Reason::kPayloadNotObject);
  // Room for canonical bytes and the few the writer asks for beyond its last token, so that the
  // text of a large payload is written without growing: a verification that holds the signed
  // bytes, the tree and the text at once stays well under the size at which the C allocator
  // hands memory back to the system after each call and must fault it in again for the next.
  std::string text;
  text.reserve(bytes.size() + kWriterLookahead);
  json::write_json(*parsed, text);
  if (text != bytes) return Unexpected(Reason::kPayloadNotCanonical);
  return CanonicalObject{std::move(*parsed), std::move(text)};
}

// The signing context, then what the relying party expects of it; the purpose on success.
Expected<std::string_view, Reason> check_context(const json::JsonValue& payload,
                                                 const Expectations& expected) {
  const json::JsonValue* protocol = json::find_member(payload, "protocol");
  if (protocol == nullptr || protocol->as_signed_integer() != kProtocolVersion) {
    return Unexpected(Reason::kProtocolWrong);
  }
  if (string_member(payload, "audience") != kAudience) return Unexpected(Reason::kAudienceWrong);
  const auto purpose = string_member(payload, "purpose");
  if (!purpose || std::ranges::find(kPurposes, *purpose) == kPurposes.end()) {
    return Unexpected(Reason::kPurposeUnknown);
  }
  if (expected.purpose && *purpose != *expected.purpose) {
    return Unexpected(Reason::kPurposeNotExpected);
  }
  if (expected.nonce && string_member(payload, "nonce") != *expected.nonce) {
    return Unexpected(Reason::kNonceNotExpected);
  }
  return *purpose;
}

}  // namespace

Expected<VerifiedPayload, Reason> verify_signature(const json::JsonValue& key,
                                                   const json::JsonValue& sign_result,
                                                   const Expectations& expected) {
  const json::JsonValue* jwk = answered_object(key);
  if (jwk == nullptr) return Unexpected(Reason::kKeyNotObject);
  const json::JsonValue* signed_result = answered_object(sign_result);
  if (signed_result == nullptr) return Unexpected(Reason::kSignResultNotObject);

  Expected<DeviceKey, Reason> device_key = read_device_key(*jwk);
  if (!device_key) return Unexpected(device_key.error());
  if (expected.key_id && device_key->key_id != *expected.key_id) {
    return Unexpected(Reason::kKeyIdNotExpected);
  }

  const auto payload_text = string_member(*signed_result, "payload");
  if (payload_text && payload_text->size() > kMaxPayloadText) {
    return Unexpected(Reason::kPayloadTooLarge);
  }
  const std::optional<ktarn::Bytes> payload_bytes = binary_member(*signed_result, "payload");
  if (!payload_bytes) return Unexpected(Reason::kPayloadNotBase64url);
  const std::optional<ktarn::Bytes> signature = binary_member(*signed_result, "signature");
  if (!signature) return Unexpected(Reason::kSignatureNotBase64url);
  if (signature->size() != kSignatureBytes ||
      !rs256_verifies(device_key->modulus, *payload_bytes, *signature)) {
    return Unexpected(Reason::kSignatureInvalid);
  }

  Expected<CanonicalObject, Reason> payload = read_canonical_object(text_of(*payload_bytes));
  if (!payload) return Unexpected(payload.error());
  const Expected<std::string_view, Reason> purpose = check_context(payload->value, expected);
  if (!purpose) return Unexpected(purpose.error());
  std::string purpose_text(*purpose);  // taken before the payload it points into moves on
  return VerifiedPayload{std::move(payload->value), std::move(payload->text),
                         std::string(device_key->key_id), std::move(purpose_text)};
}

}  // namespace ktarn::verifier
