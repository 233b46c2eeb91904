#include "bridge/platform/software/keys/rsa_der.hpp"

namespace ktarn::platform::software {

namespace {

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kLongForm = 0x80;
// Three length octets reach far past the largest stored key the keychain decodes (64 KiB).
constexpr std::size_t kMaxLengthOctets = 3;

// The contents of the element at the front of rest when it carries the identifier and a
// definite length in its fewest octets; rest then starts after it.
std::optional<DerBytes> take_element(DerBytes& rest, std::uint8_t identifier) {
  if (rest.size() < 2 || rest[0] != identifier) return std::nullopt;
  std::size_t length = rest[1];
  std::size_t header = 2;
  if (length >= kLongForm) {
    // 0x80 alone is BER's indefinite length; a leading zero octet is a longer form than needed.
    const std::size_t octets = length - kLongForm;
    if (octets < 1 || octets > kMaxLengthOctets || rest.size() < header + octets || rest[2] == 0) {
      return std::nullopt;
    }
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | rest[header + i];
    if (length < kLongForm) return std::nullopt;  // the short form holds it
    header += octets;
  }
  if (rest.size() - header < length) return std::nullopt;
  const DerBytes contents = rest.subspan(header, length);
  rest = rest.subspan(header + length);
  return contents;
}

// The magnitude of a non-negative INTEGER written in its fewest octets (empty for zero).
std::optional<DerBytes> take_magnitude(DerBytes& rest) {
  const std::optional<DerBytes> contents = take_element(rest, kInteger);
  if (!contents || contents->empty() || (*contents)[0] >= 0x80) return std::nullopt;
  if ((*contents)[0] != 0) return contents;
  // A zero octet in front is the sign octet only when the next one has its top bit set.
  if (contents->size() > 1 && (*contents)[1] < 0x80) return std::nullopt;
  return contents->subspan(1);
}

std::size_t length_octets(std::size_t length) {
  std::size_t octets = 0;
  for (; length != 0; length >>= 8) ++octets;
  return octets;
}

std::size_t element_size(std::size_t length) {
  return 2 + (length < kLongForm ? 0 : length_octets(length)) + length;
}

void put_header(Bytes& out, std::uint8_t identifier, std::size_t length) {
  out.push_back(identifier);
  if (length < kLongForm) {
    out.push_back(static_cast<std::uint8_t>(length));
    return;
  }
  const std::size_t octets = length_octets(length);
  out.push_back(static_cast<std::uint8_t>(kLongForm | octets));
  for (std::size_t i = octets; i-- > 0;)
    out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
}

DerBytes without_leading_zeros(DerBytes magnitude) {
  while (!magnitude.empty() && magnitude[0] == 0) magnitude = magnitude.subspan(1);
  return magnitude;
}

// Zero, and a magnitude whose top bit is set, take a zero octet in front.
bool needs_sign_octet(DerBytes magnitude) {
  return magnitude.empty() || magnitude[0] >= 0x80;
}

std::size_t integer_length(DerBytes magnitude) {
  return magnitude.size() + (needs_sign_octet(magnitude) ? 1 : 0);
}

void put_integer(Bytes& out, DerBytes magnitude) {
  put_header(out, kInteger, integer_length(magnitude));
  if (needs_sign_octet(magnitude)) out.push_back(0);
  out.insert(out.end(), magnitude.begin(), magnitude.end());
}

}  // namespace

std::optional<RsaPrivatePartBytes> read_two_prime_private_key(DerBytes der) {
  DerBytes rest = der;
  std::optional<DerBytes> body = take_element(rest, kSequence);
  if (!body || !rest.empty()) return std::nullopt;
  // Version 1 would announce further primes, which keys made here never have.
  const std::optional<DerBytes> version = take_magnitude(*body);
  if (!version || !version->empty()) return std::nullopt;
  RsaPrivatePartBytes parts;
  for (DerBytes& part : parts) {
    const std::optional<DerBytes> magnitude = take_magnitude(*body);
    if (!magnitude) return std::nullopt;
    part = *magnitude;
  }
  if (!body->empty()) return std::nullopt;
  return parts;
}

Bytes write_rsa_public_key(DerBytes modulus, DerBytes exponent) {
  modulus = without_leading_zeros(modulus);
  exponent = without_leading_zeros(exponent);
  const std::size_t body =
      element_size(integer_length(modulus)) + element_size(integer_length(exponent));
  Bytes out;
  out.reserve(element_size(body));
  put_header(out, kSequence, body);
  put_integer(out, modulus);
  put_integer(out, exponent);
  return out;
}

}  // namespace ktarn::platform::software
