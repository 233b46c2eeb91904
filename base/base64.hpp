// Base64 in the two forms the companion uses. Binary data that crosses the bridge boundary, in
// either direction, travels as standard Base64 with "=" padding, and what comes back from the
// bridge is decoded strictly: one text per byte sequence, so a reply that is padded wrongly,
// carries stray bits or white space, or uses the URL-safe letters is refused rather than repaired.
// Every binary value the companion hands to the browser is URL-safe Base64 without padding; the
// browser never sends binary data, but the relying party reads that form back, just as strictly.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ktarn {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The bytes of a text, as they are (a canonical payload, a key identifier input).
inline ByteView as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Standard alphabet (A-Z a-z 0-9 + /), padded with "=" to a multiple of 4 characters.
std::string base64_encode(ByteView bytes);

// The bytes of a standard Base64 text, or nothing when the text is not exactly what
// base64_encode would write for some byte sequence. The empty text is zero bytes.
std::optional<Bytes> base64_decode_strict(std::string_view text);

// URL-safe alphabet ("-" and "_" in place of "+" and "/"), without padding.
std::string base64url_encode(ByteView bytes);

// The bytes of a URL-safe text, or nothing when the text is not exactly what base64url_encode
// would write for some byte sequence: padding, the standard alphabet's "+" and "/", white space
// and stray bits in the last symbol are refused. The empty text is zero bytes.
std::optional<Bytes> base64url_decode_strict(std::string_view text);

}  // namespace ktarn
