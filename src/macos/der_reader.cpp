#include "macos/der_reader.hpp"

namespace ktarn::macos {
namespace {

constexpr std::string_view kInvalidDer = "Invalid RSA public key DER";
constexpr std::string_view kInvalidLength = "Invalid RSA DER length";
constexpr std::string_view kNoncanonicalLength = "Noncanonical RSA DER length";
constexpr std::string_view kTruncated = "Truncated RSA public key";
constexpr std::string_view kInvalidInteger = "Invalid RSA public integer";
constexpr std::string_view kNoncanonicalInteger = "Noncanonical RSA public integer";

constexpr std::uint8_t kLongFormFlag = 0x80;
// Four length octets describe far more than any key needs; more are refused outright.
constexpr std::size_t kMaxLengthOctets = 4;

DerView failure(std::string_view message) {
  return Unexpected(std::string(message));
}

// A length octet below 0x80 is the length itself.
bool is_short_form(std::uint8_t length_octet) {
  return length_octet < kLongFormFlag;
}

// 0x80 (the indefinite length of BER) and counts beyond what we read are not DER lengths here.
bool is_supported_octet_count(std::size_t count) {
  return count >= 1 && count <= kMaxLengthOctets;
}

// DER writes a length in the fewest octets: no leading zero octet ...
bool has_leading_zero_octet(ByteView length_octets) {
  return length_octets[0] == 0x00;
}

// ... and no long form for a length that the short form can hold.
bool fits_short_form(std::uint64_t length) {
  return length < kLongFormFlag;
}

// An INTEGER whose first octet has the top bit set is negative in two's complement.
bool is_negative(std::uint8_t first_octet) {
  return first_octet >= 0x80;
}

// A leading 0x00 is the sign octet only when the next octet would otherwise read as negative; a
// lone 0x00 is the value zero, which no RSA key component may be.
bool is_superfluous_zero(ByteView contents) {
  return contents.size() == 1 || !is_negative(contents[1]);
}

std::uint64_t big_endian_value(ByteView octets) {
  std::uint64_t value = 0;
  for (std::uint8_t octet : octets) value = (value << 8) | octet;
  return value;
}

// The contents length of an element whose identifier and first length octet have been taken;
// the remaining length octets are taken from the header reader.
Expected<std::uint64_t, std::string> read_length(ByteReader& header, std::uint8_t length_octet) {
  if (is_short_form(length_octet)) return length_octet;
  const std::size_t count = length_octet - kLongFormFlag;
  if (!is_supported_octet_count(count)) return Unexpected(std::string(kInvalidLength));
  const std::optional<ByteView> octets = header.take(count);
  if (!octets) return Unexpected(std::string(kInvalidLength));
  if (has_leading_zero_octet(*octets)) return Unexpected(std::string(kInvalidLength));
  const std::uint64_t length = big_endian_value(*octets);
  if (fits_short_form(length)) return Unexpected(std::string(kNoncanonicalLength));
  return length;
}

}  // namespace

std::optional<ByteView> ByteReader::take(std::size_t count) {
  if (count > rest_.size()) return std::nullopt;
  const ByteView taken = rest_.first(count);
  rest_ = rest_.subspan(count);
  return taken;
}

DerView read_der_element(ByteReader& reader, std::uint8_t expected_identifier) {
  // Everything is read from a copy, which replaces the reader only once the element is whole.
  ByteReader element = reader;
  const std::optional<ByteView> start = element.take(2);
  if (!start || (*start)[0] != expected_identifier) return failure(kInvalidDer);
  const Expected<std::uint64_t, std::string> length = read_length(element, (*start)[1]);
  if (!length) return Unexpected(length.error());
  if (*length > element.remaining()) return failure(kTruncated);
  const std::optional<ByteView> contents = element.take(static_cast<std::size_t>(*length));
  reader = element;
  return *contents;
}

DerView positive_integer_bytes(ByteView contents) {
  if (contents.empty() || is_negative(contents[0])) return failure(kInvalidInteger);
  if (contents[0] != 0x00) return contents;
  if (is_superfluous_zero(contents)) return failure(kNoncanonicalInteger);
  return contents.subspan(1);
}

}  // namespace ktarn::macos
