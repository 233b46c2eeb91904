// Sealing a private key's DER under a wrapping key: AES-256-GCM through OpenSSL, a fresh random
// 96-bit nonce for every seal, and the sealed item's identity as associated data, so a sealed
// blob opens only under the same wrapping key and for the same item (the same keychain file and
// row), and any change to it is found out. A sealed blob is a format byte, the nonce, the
// ciphertext and the 128-bit tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bridge/platform/attributes.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"

namespace ktarn::platform::software {

inline constexpr std::size_t kWrappingKeySize = 32;

// A fresh random wrapping key; empty when the random generator fails.
SecretBytes new_wrapping_key();
// A fresh random identity for a keychain file (32 hexadecimal digits), which its wrapping key is
// stored under and its items are sealed to; empty when the random generator fails.
std::string new_sealing_identity();
// The identity a sealed item is bound to: its keychain's and its row's.
Bytes sealed_item_identity(std::string_view keychain, std::int64_t row);

// A sealed keychain's identity with its wrapping key, as read for one use.
struct SealingKey {
  std::string keychain;
  SecretBytes wrapping_key;
};

// The sealed blob of secret under wrapping_key (kWrappingKeySize bytes) for the item identity;
// none when the wrapping key has the wrong size or OpenSSL fails.
std::optional<Bytes> seal_secret(std::span<const std::uint8_t> wrapping_key,
                                 std::span<const std::uint8_t> secret,
                                 std::span<const std::uint8_t> identity);
// The secret a blob from seal_secret holds; none unless the blob is whole, of this format, and
// was sealed under wrapping_key for identity.
std::optional<SecretBytes> open_sealed(std::span<const std::uint8_t> wrapping_key,
                                       std::span<const std::uint8_t> sealed,
                                       std::span<const std::uint8_t> identity);

}  // namespace ktarn::platform::software
