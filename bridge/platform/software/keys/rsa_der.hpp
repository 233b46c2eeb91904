// The two DER forms of an RSA key that the keychain reads and writes itself: the PKCS #1
// RSAPrivateKey of two primes it stores, and the PKCS #1 RSAPublicKey it hands out. The crypto
// library's decoders and encoders set themselves up on their first use in a process, which costs
// a new process's first "key" or "sign" more than the rest of its work beside starting
// (bench/README.md); these forms are simple enough to read and write directly. Only canonical
// DER is read, so that one stored key has one accepted encoding: every writer of the keychain
// stores this form, and anything else in an item is not a key it wrote.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "bridge/platform/attributes.hpp"

namespace ktarn::platform::software {

using DerBytes = std::span<const std::uint8_t>;

// The magnitudes (big-endian, without a sign octet) of a two-prime key's parts, in the order
// PKCS #1 stores them: n, e, d, p, q, d mod (p - 1), d mod (q - 1), q^-1 mod p.
inline constexpr std::size_t kRsaPrivatePartCount = 8;
using RsaPrivatePartBytes = std::array<DerBytes, kRsaPrivatePartCount>;

// The parts of der when it is exactly one RSAPrivateKey in canonical DER: a SEQUENCE filling the
// bytes, holding version 0 (two primes) and eight non-negative INTEGERs, each in its fewest
// octets, and nothing more; none otherwise. The parts are views into der.
std::optional<RsaPrivatePartBytes> read_two_prime_private_key(DerBytes der);

// The canonical RSAPublicKey DER of a modulus and public exponent given as magnitudes.
Bytes write_rsa_public_key(DerBytes modulus, DerBytes exponent);

}  // namespace ktarn::platform::software
