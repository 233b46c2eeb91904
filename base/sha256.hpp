// SHA-256, one-shot: the digest the device key signs (over the canonical payload) and the digest
// behind the key identifier. Inputs are whole in memory, so there is no streaming form. The crypto
// library's digest does the work, many times faster than a portable one (bench/README.md).
#pragma once

#include <array>
#include <cstdint>

#include "base/base64.hpp"

namespace ktarn {

inline constexpr std::size_t kSha256DigestBytes = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256DigestBytes>;

Sha256Digest sha256(ByteView message);

}  // namespace ktarn
