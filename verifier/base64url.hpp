// The strict reading of URL-safe Base64 without padding, the form in which the companion hands
// out every binary value. Strict means one text per byte sequence: a text is accepted only when
// it is exactly what the companion writes for the bytes it decodes to, so padded texts, the
// standard alphabet's "+" and "/", white space and stray bits in the last symbol are refused
// rather than repaired.
#pragma once

#include <optional>
#include <string_view>

#include "base/base64.hpp"

namespace ktarn::verifier {

std::optional<ktarn::Bytes> base64url_decode_strict(std::string_view text);

}  // namespace ktarn::verifier
