#include "macos/public_key_export.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include "base/base64.hpp"
#include "base/hex_bytes.hpp"
#include "json/write_json.hpp"
#include "macos/der_reader.hpp"
#include "scripted_key_bridge.hpp"

namespace ktarn::macos {
namespace {

using ktarn::testing::Bytes;
using ktarn::testing::concat;
using ktarn::testing::from_hex;

constexpr std::string_view kKeyName = "kTARN.SealedBrowser.Demo.v1";

// A DER element with the canonical length for its contents.
Bytes der(std::uint8_t identifier, const Bytes& contents) {
  Bytes element{identifier};
  const std::size_t n = contents.size();
  if (n < 0x80) {
    element.push_back(static_cast<std::uint8_t>(n));
  } else if (n <= 0xFF) {
    element.insert(element.end(), {0x81, static_cast<std::uint8_t>(n)});
  } else {
    element.insert(element.end(),
                   {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  }
  return concat({element, contents});
}

Bytes integer(const Bytes& contents) {
  return der(0x02, contents);
}
Bytes sequence(const Bytes& contents) {
  return der(0x30, contents);
}

// A 256-byte modulus magnitude starting with the given byte; the rest is a fixed pattern.
Bytes modulus_magnitude(std::uint8_t first = 0xC3, std::size_t size = 256) {
  Bytes magnitude(size);
  for (std::size_t i = 0; i < size; ++i) magnitude[i] = static_cast<std::uint8_t>(i * 37 + 11);
  magnitude[0] = first;
  return magnitude;
}

const Bytes kModulusInteger = integer(concat({{0x00}, modulus_magnitude()}));
const Bytes kExponentInteger = integer({0x01, 0x00, 0x01});
const Bytes kDeviceKeyDer = sequence(concat({kModulusInteger, kExponentInteger}));

// An independent URL-safe encoding: OpenSSL's standard Base64, translated and unpadded.
std::string openssl_base64url(const Bytes& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                      static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(written));
  text.erase(text.find_last_not_of('=') + 1);
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

OperationOutcome export_der(const Bytes& der_bytes) {
  testing::answer_with_string_member("publicDer", base64_encode(der_bytes));
  return export_public_key(kKeyName, testing::kScriptedBridge);
}

TEST(PublicKeyExport, DeviceKeyBecomesTheJsonWebKey) {
  ASSERT_EQ(kDeviceKeyDer.size(), 270u);
  const OperationOutcome outcome = export_der(kDeviceKeyDer);
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  EXPECT_EQ(testing::bridge_script().operation, "key");
  EXPECT_EQ(testing::bridge_script().argument, "");

  const std::string n = openssl_base64url(modulus_magnitude());
  ASSERT_EQ(n.size(), 342u);
  const std::string identifier_input = n + ":AQAB";
  Bytes digest(SHA256_DIGEST_LENGTH);
  SHA256(reinterpret_cast<const unsigned char*>(identifier_input.data()), identifier_input.size(),
         digest.data());
  const std::string key_id = openssl_base64url(digest);
  ASSERT_EQ(key_id.size(), 43u);
  EXPECT_EQ(json::write_json(*outcome), R"({"alg":"RS256","attested":false,"e":"AQAB","keyId":")" +
                                            key_id + R"(","kty":"RSA","n":")" + n +
                                            R"(","protection":"software-provider"})");
}

TEST(PublicKeyExport, SameKeyGivesSameBytes) {
  const OperationOutcome first = export_der(kDeviceKeyDer);
  const OperationOutcome second = export_der(kDeviceKeyDer);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(json::write_json(*first), json::write_json(*second));
}

struct BadDer {
  Bytes der;
  std::string_view message;
  std::string_view reason;
};

std::vector<BadDer> bad_ders() {
  const Bytes body = concat({kModulusInteger, kExponentInteger});
  const Bytes spki_algorithm = sequence(from_hex("06 09 2a864886f70d010101 05 00"));
  const Bytes bit_string = der(0x03, concat({{0x00}, kDeviceKeyDer}));
  const Bytes truncated(kDeviceKeyDer.begin(), kDeviceKeyDer.end() - 1);
  return {
      {{}, "Invalid RSA public key DER", "empty data"},
      {{0x30}, "Invalid RSA public key DER", "one byte, no length"},
      {concat({{0x31}, Bytes(kDeviceKeyDer.begin() + 1, kDeviceKeyDer.end())}),
       "Invalid RSA public key DER", "SET where the SEQUENCE belongs"},
      {sequence(concat({spki_algorithm, bit_string})), "Invalid RSA public key DER",
       "SubjectPublicKeyInfo wrapping: a SEQUENCE where the modulus belongs"},
      {sequence(kModulusInteger), "Invalid RSA public key DER", "exponent missing"},
      {from_hex("30 81 05 02 01 01 02 00"), "Noncanonical RSA DER length",
       "long form for a length below 128"},
      {from_hex("30 81 00"), "Invalid RSA DER length", "long form with a zero first octet"},
      {from_hex("30 82 00 ff"), "Invalid RSA DER length", "leading zero length octet"},
      {from_hex("30 80 02 01 01 00 00"), "Invalid RSA DER length", "indefinite length"},
      {from_hex("30 85 00 00 00 01 0a"), "Invalid RSA DER length", "five length octets"},
      {from_hex("30 82"), "Invalid RSA DER length", "length octet 0x82 as the last byte"},
      {from_hex("30 82 01"), "Invalid RSA DER length", "long-form header cut short"},
      {from_hex("30 02 02 82"), "Invalid RSA DER length",
       "modulus header cut short inside the SEQUENCE"},
      {truncated, "Truncated RSA public key", "SEQUENCE longer than the data"},
      {from_hex("30 81 80 02 01 01"), "Truncated RSA public key", "SEQUENCE longer than the data"},
      {sequence(concat({integer(concat({{0x00}, modulus_magnitude()})), from_hex("02 03 01 00")})),
       "Truncated RSA public key", "exponent longer than the SEQUENCE"},
      {concat({kDeviceKeyDer, {0x00}}), "Trailing RSA public data", "a byte after the SEQUENCE"},
      {concat({kDeviceKeyDer, kExponentInteger}), "Trailing RSA public data",
       "an element after the SEQUENCE"},
      {sequence(concat({from_hex("02 00"), kExponentInteger})), "Invalid RSA public integer",
       "empty modulus"},
      {sequence(concat({kModulusInteger, from_hex("02 00")})), "Invalid RSA public integer",
       "empty exponent"},
      {sequence(concat({from_hex("02 01 ff"), kExponentInteger})), "Invalid RSA public integer",
       "negative modulus"},
      {sequence(concat({integer(modulus_magnitude()), kExponentInteger})),
       "Invalid RSA public integer", "modulus without its sign octet reads as negative"},
      {sequence(concat({from_hex("02 02 00 7f"), kExponentInteger})),
       "Noncanonical RSA public integer", "superfluous sign octet"},
      {sequence(concat({from_hex("02 01 00"), kExponentInteger})),
       "Noncanonical RSA public integer", "zero"},
      {sequence(concat({kModulusInteger, from_hex("02 04 00 01 00 01")})),
       "Noncanonical RSA public integer", "exponent with a superfluous sign octet"},
      {sequence(concat({kModulusInteger, from_hex("02 01 03")})),
       "Stored key is not RSA-2048 with exponent 65537", "exponent 3"},
      {sequence(concat({kModulusInteger, from_hex("02 03 01 00 03")})),
       "Stored key is not RSA-2048 with exponent 65537", "three-byte exponent other than 65537"},
      {sequence(concat({integer(modulus_magnitude(0x7F)), kExponentInteger})),
       "Stored key is not RSA-2048 with exponent 65537", "2047-bit modulus"},
      {sequence(
           concat({integer(concat({{0x00}, modulus_magnitude(0x80, 257)})), kExponentInteger})),
       "Stored key is not RSA-2048 with exponent 65537", "257-byte modulus"},
      {sequence(
           concat({integer(concat({{0x00}, modulus_magnitude(0x80, 128)})), kExponentInteger})),
       "Stored key is not RSA-2048 with exponent 65537", "RSA-1024 modulus"},
      {sequence(concat({body, from_hex("05 00")})),
       "Stored key is not RSA-2048 with exponent 65537", "an element after the exponent"},
      {sequence(concat({body, kExponentInteger})), "Stored key is not RSA-2048 with exponent 65537",
       "a third INTEGER"},
  };
}

TEST(PublicKeyExport, RejectsEveryOtherEncoding) {
  for (const BadDer& bad : bad_ders()) {
    const OperationOutcome outcome = export_der(bad.der);
    ASSERT_FALSE(outcome.has_value()) << bad.reason;
    EXPECT_EQ(outcome.error(), bad.message)
        << bad.reason << ": " << ktarn::testing::to_hex(bad.der);
  }
}

const testing::ScriptedFailure kBadReplies[] = {
    {"bridge message passes unchanged",
     [] { testing::answer_with_error("macOS public device key export failed"); },
     "macOS public device key export failed"},
    {"no result at all", [] { testing::answer_with_result({}); }, "Missing public key"},
    {"result without publicDer", [] { testing::answer_with_result(json::JsonValue::object()); },
     "Missing public key"},
    {"publicDer as a number",
     [] { testing::answer_with_member("publicDer", json::JsonValue::unsigned_integer(270)); },
     "Missing public key"},
    {"line break in the text",
     [] {
       const std::string encoded = base64_encode(kDeviceKeyDer);
       std::string text = encoded.substr(0, 76);
       text += '\n';
       text.append(encoded, 76);
       testing::answer_with_string_member("publicDer", text);
     },
     "Invalid public key encoding"},
    {"URL-safe letters", [] { testing::answer_with_string_member("publicDer", "MAA-_w=="); },
     "Invalid public key encoding"},
    {"padding left out", [] { testing::answer_with_string_member("publicDer", "MAA"); },
     "Invalid public key encoding"},
    {"empty text decodes to nothing", [] { testing::answer_with_string_member("publicDer", ""); },
     "Invalid RSA public key DER"},
};

TEST(PublicKeyExport, RejectsUnusableReplies) {
  for (const testing::ScriptedFailure& bad : kBadReplies) {
    bad.script();
    const OperationOutcome outcome = export_public_key(kKeyName, testing::kScriptedBridge);
    ASSERT_FALSE(outcome.has_value()) << bad.reason;
    EXPECT_EQ(outcome.error(), bad.message) << bad.reason;
  }
}

// A failed read leaves the reader where it was; a good one moves it past the element only.
TEST(ByteReader, MovesOnlyPastWholeElements) {
  const Bytes data = from_hex("02 01 05 02 82 00");
  ByteReader reader(data);
  const DerView first = read_der_element(reader, kDerInteger);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(ktarn::testing::to_hex(*first), "05");
  EXPECT_EQ(reader.remaining(), 3u);
  EXPECT_FALSE(read_der_element(reader, kDerInteger).has_value());
  EXPECT_EQ(reader.remaining(), 3u);
  EXPECT_FALSE(reader.take(4).has_value());
  EXPECT_EQ(reader.remaining(), 3u);
}

}  // namespace
}  // namespace ktarn::macos
