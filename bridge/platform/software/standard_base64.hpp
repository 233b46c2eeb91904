// RFC 4648 Base64 in the standard alphabet with "=" padding, the form binary values take on their
// way across the bridge (the digest in, the public key and the signature out). Decoding accepts
// exactly one text for each byte string, so no two texts can stand for the same digest.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ktarn::platform::software {

std::string encode_standard_base64(std::span<const std::uint8_t> bytes);

// None unless the text is canonical: a multiple of 4 symbols of the alphabet, "=" only as the
// last one or two symbols, and the spare low bits of the final data symbol zero.
std::optional<std::vector<std::uint8_t>> decode_standard_base64(std::string_view text);

}  // namespace ktarn::platform::software
