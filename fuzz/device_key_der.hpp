// The one public key encoding the "key" operation accepts, written out byte by byte: a SEQUENCE
// of length 266 holding the modulus INTEGER (a sign octet and 256 bytes) and the exponent 65537.
// The fuzzers build near-misses from it and compare what the host accepts against it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ktarn::fuzzing {

inline constexpr std::size_t kModulusBytes = 256;
inline constexpr std::size_t kDeviceKeyDerBytes = 270;
inline constexpr std::array<std::uint8_t, 9> kDerHead = {0x30, 0x82, 0x01, 0x0A, 0x02,
                                                         0x82, 0x01, 0x01, 0x00};
inline constexpr std::array<std::uint8_t, 5> kDerTail = {0x02, 0x03, 0x01, 0x00, 0x01};

// The layout around a 256-byte modulus magnitude.
inline std::vector<std::uint8_t> device_key_der(std::span<const std::uint8_t, kModulusBytes> n) {
  std::vector<std::uint8_t> der(kDerHead.begin(), kDerHead.end());
  der.insert(der.end(), n.begin(), n.end());
  der.insert(der.end(), kDerTail.begin(), kDerTail.end());
  return der;
}

// A modulus whose bytes repeat the seed (a fixed pattern when it is empty), with its top bit set
// so that it has exactly 2048 bits.
inline std::array<std::uint8_t, kModulusBytes> modulus_from(std::span<const std::uint8_t> seed) {
  std::array<std::uint8_t, kModulusBytes> n{};
  for (std::size_t i = 0; i < n.size(); ++i) {
    n[i] = seed.empty() ? static_cast<std::uint8_t>(i * 37 + 11) : seed[i % seed.size()];
  }
  n[0] |= 0x80;
  return n;
}

// True for exactly the bytes device_key_der writes for some 2048-bit modulus.
inline bool is_device_key_der(std::span<const std::uint8_t> der) {
  if (der.size() != kDeviceKeyDerBytes) return false;
  const auto modulus = der.subspan(kDerHead.size(), kModulusBytes);
  return std::ranges::equal(der.first(kDerHead.size()), kDerHead) &&
         std::ranges::equal(der.last(kDerTail.size()), kDerTail) && (modulus[0] & 0x80) != 0;
}

}  // namespace ktarn::fuzzing
