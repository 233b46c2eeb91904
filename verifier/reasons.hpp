// Why a signature was refused: one short fixed text per check, in the order the checks run. The
// texts are the verifier's whole vocabulary towards the relying party and are the same, byte for
// byte, in the JavaScript module; the golden vectors carry them so both test suites hold each
// form to this one list.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace ktarn::verifier {

enum class Reason {
  kKeyNotObject,
  kSignResultNotObject,
  kKeyNotDeviceKey,
  kModulusMalformed,
  kKeyIdMismatch,
  kKeyIdNotExpected,
  kPayloadTooLarge,
  kPayloadNotBase64url,
  kSignatureNotBase64url,
  kSignatureInvalid,
  kPayloadNotObject,
  kPayloadNotCanonical,
  kProtocolWrong,
  kAudienceWrong,
  kPurposeUnknown,
  kPurposeNotExpected,
  kNonceNotExpected,
};

inline constexpr std::array<std::string_view, 17> kReasonTexts = {
    "key is not a JSON object",
    "sign result is not a JSON object",
    "key is not a device key JWK",
    "key modulus is malformed",
    "key id does not match the key",
    "key id is not the expected one",
    "payload is too large",
    "payload is not base64url",
    "signature is not base64url",
    "signature does not verify",
    "payload is not a JSON object",
    "payload is not canonical",
    "protocol is not 1",
    "audience is not ktarn-sealed-browser",
    "purpose is not a signing purpose",
    "purpose is not the expected one",
    "nonce is not the expected one",
};
static_assert(kReasonTexts.size() == static_cast<std::size_t>(Reason::kNonceNotExpected) + 1);

constexpr std::string_view reason_text(Reason reason) {
  return kReasonTexts[static_cast<std::size_t>(reason)];
}

}  // namespace ktarn::verifier
