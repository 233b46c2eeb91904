#include "macos/request_signing.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include "base/base64.hpp"
#include "base/hex_bytes.hpp"
#include "json/parse_json.hpp"
#include "scripted_key_bridge.hpp"

namespace ktarn::macos {
namespace {

using ktarn::testing::Bytes;
using testing::bridge_script;

constexpr std::string_view kKeyName = "kTARN.SealedBrowser.Demo.v1";
// The bridge's answer in the tests that get as far as signing: 256 bytes are not needed here.
constexpr std::string_view kSignatureText = "+/+/AAEC";

json::JsonValue parse(std::string_view text) {
  json::ParseResult parsed = json::parse_json(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed ? std::move(*parsed) : json::JsonValue();
}

// Signed as the companion signs a request line: with the payload's own text where the reader
// found it canonical.
OperationOutcome sign_text(std::string_view request_text) {
  testing::answer_with_string_member("signature", std::string(kSignatureText));
  json::RootMemberTexts texts;
  json::ParseResult parsed = json::parse_json(request_text, texts);
  EXPECT_TRUE(parsed.has_value()) << request_text;
  if (!parsed) return failure("unparsable test input");
  return sign_request(kKeyName, *parsed, texts.canonical_text("payload"), testing::kScriptedBridge);
}

// The bytes behind a URL-safe Base64 text without padding.
std::string decode_url_safe(std::string text) {
  for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
  text.append((4 - text.size() % 4) % 4, '=');
  const auto bytes = base64_decode_strict(text);
  EXPECT_TRUE(bytes.has_value()) << text;
  return bytes ? ktarn::testing::text_of(*bytes) : std::string();
}

std::string result_member(const OperationOutcome& outcome, std::string_view name) {
  const json::JsonValue* member = json::find_member(*outcome, name);
  return member != nullptr && member->as_string().has_value() ? std::string(*member->as_string())
                                                              : "<none>";
}

std::string openssl_digest_argument(std::string_view canonical) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(canonical.data()), canonical.size(), digest);
  std::string text(45, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, sizeof digest);
  text.resize(44);
  return text;
}

struct ContextCase {
  std::string_view request;
  std::string_view reason;
};

#define CONTEXT(protocol, audience, purpose)                                     \
  R"({"type":"sign","payload":{"protocol":)" protocol R"(,"audience":)" audience \
  R"(,"purpose":)" purpose "}}"

constexpr ContextCase kAccepted[] = {
    {CONTEXT("1", R"("ktarn-sealed-browser")", R"("challenge")"), "challenge"},
    {CONTEXT("1", R"("ktarn-sealed-browser")", R"("request")"), "request"},
    {CONTEXT("1", R"("ktarn-sealed-browser")", R"("events")"), "events"},
    {R"({"payload":{"purpose":"events","protocol":1,"audience":"ktarn-sealed-browser","x":[{}]}})",
     "extra members are signed along"},
};

constexpr ContextCase kRejected[] = {
    {CONTEXT("1.0", R"("ktarn-sealed-browser")", R"("challenge")"), "protocol as a double"},
    {CONTEXT("1e0", R"("ktarn-sealed-browser")", R"("challenge")"), "protocol with an exponent"},
    {CONTEXT(R"("1")", R"("ktarn-sealed-browser")", R"("challenge")"), "protocol as a string"},
    {CONTEXT("true", R"("ktarn-sealed-browser")", R"("challenge")"), "protocol as a boolean"},
    {CONTEXT("2", R"("ktarn-sealed-browser")", R"("challenge")"), "another protocol"},
    {CONTEXT("-1", R"("ktarn-sealed-browser")", R"("challenge")"), "negative protocol"},
    {R"({"payload":{"audience":"ktarn-sealed-browser","purpose":"challenge"}})",
     "protocol missing"},
    {CONTEXT("1", R"("Ktarn-sealed-browser")", R"("challenge")"), "audience in another case"},
    {CONTEXT("1", R"("ktarn-sealed-browser ")", R"("challenge")"), "audience with a space"},
    {CONTEXT("1", R"("ktarn-sealed-browser\u0000")", R"("challenge")"), "audience with a NUL"},
    {CONTEXT("1", R"("ktarn-sealed")", R"("challenge")"), "audience cut short"},
    {CONTEXT("1", R"(["ktarn-sealed-browser"])", R"("challenge")"), "audience not a string"},
    {R"({"payload":{"protocol":1,"purpose":"challenge"}})", "audience missing"},
    {CONTEXT("1", R"("ktarn-sealed-browser")", R"("Challenge")"), "purpose in another case"},
    {CONTEXT("1", R"("ktarn-sealed-browser")", R"("event")"), "unknown purpose"},
    {CONTEXT("1", R"("ktarn-sealed-browser")", R"("")"), "empty purpose"},
    {CONTEXT("1", R"("ktarn-sealed-browser")", R"(" request")"), "purpose with a space"},
    {CONTEXT("1", R"("ktarn-sealed-browser")", "null"), "purpose null"},
    {R"({"payload":[1,"ktarn-sealed-browser","challenge"]})", "payload an array"},
    {R"({"payload":"x"})", "payload a string"},
    {R"({"payload":null})", "payload null"},
    {R"({"type":"sign"})", "payload missing"},
    {R"({"protocol":1,"audience":"ktarn-sealed-browser","purpose":"challenge"})",
     "context in the request instead of the payload"},
};

TEST(RequestSigning, SigningContext) {
  for (const ContextCase& c : kAccepted) {
    const OperationOutcome outcome = sign_text(c.request);
    EXPECT_TRUE(outcome.has_value()) << c.reason << ": " << outcome.error();
  }
  for (const ContextCase& c : kRejected) {
    const OperationOutcome outcome = sign_text(c.request);
    ASSERT_FALSE(outcome.has_value()) << c.reason;
    EXPECT_EQ(outcome.error(), "Signing context rejected") << c.reason;
    EXPECT_EQ(bridge_script().calls, 0) << c.reason;
  }
}

TEST(RequestSigning, SignsTheCanonicalBytes) {
  const OperationOutcome outcome =
      sign_text(R"({"id":"a","type":"sign","payload":{"purpose":"challenge", "x":2, "protocol":1,)"
                R"( "audience":"ktarn-sealed-browser"}})");
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  const std::string canonical =
      R"({"audience":"ktarn-sealed-browser","protocol":1,"purpose":"challenge","x":2})";
  EXPECT_EQ(decode_url_safe(result_member(outcome, "payload")), canonical);
  EXPECT_EQ(bridge_script().operation, "sign");
  EXPECT_EQ(bridge_script().argument.size(), 44u);
  EXPECT_EQ(bridge_script().argument.back(), '=');
  EXPECT_EQ(bridge_script().argument, openssl_digest_argument(canonical));
  EXPECT_EQ(result_member(outcome, "signature"), "-_-_AAEC");
  EXPECT_EQ(outcome->as_members()->size(), 2u);
}

// The request's notation never reaches the signed bytes: only the parsed value does.
TEST(RequestSigning, NotationOfTheRequestDoesNotMatter) {
  const std::string canonical =
      R"({"audience":"ktarn-sealed-browser","n":100.0,"protocol":1,"purpose":"events","s":"A/"})";
  constexpr std::string_view kSpellings[] = {
      R"({"payload":{"protocol":1,"audience":"ktarn-sealed-browser","purpose":"events","s":"A/","n":100.0}})",
      R"({"payload":{"s":"\u0041\/","n":1e2,"purpose":"events","audience":"ktarn-sealed-browser","protocol":1}})",
      "{\"payload\" :\n{ \"n\" : 1E+2 ,\t\"s\":\"A/\", \"purpose\":\"events\",\r\n"
      "\"audience\":\"ktarn-sealed-browser\",\"protocol\":1}}",
      R"({"payload":{"n":5,"s":"B","n":100.0,"s":"A/","purpose":"events","audience":"ktarn-sealed-browser","protocol":1}})",
  };
  for (std::string_view spelling : kSpellings) {
    const OperationOutcome outcome = sign_text(spelling);
    ASSERT_TRUE(outcome.has_value()) << spelling;
    EXPECT_EQ(decode_url_safe(result_member(outcome, "payload")), canonical) << spelling;
  }
}

// A payload whose canonical form is exactly `size` bytes, padded inside the string "x".
std::string payload_of_canonical_size(std::size_t size, std::string_view padding_before) {
  const std::string frame =
      R"({"audience":"ktarn-sealed-browser","protocol":1,"purpose":"challenge","x":""})";
  return R"({"payload":{"x":")" + std::string(padding_before) +
         std::string(size - frame.size(), 'a') +
         R"(","protocol":1,"audience":"ktarn-sealed-browser","purpose":"challenge"}})";
}

TEST(RequestSigning, LimitsTheCanonicalBytes) {
  const OperationOutcome at_limit = sign_text(payload_of_canonical_size(32768, ""));
  ASSERT_TRUE(at_limit.has_value()) << at_limit.error();
  EXPECT_EQ(decode_url_safe(result_member(at_limit, "payload")).size(), 32768u);

  const OperationOutcome over = sign_text(payload_of_canonical_size(32769, ""));
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error(), "Payload too large");
  EXPECT_EQ(bridge_script().calls, 0);

  // Escapes in the request that the writer does not keep shrink the canonical form.
  const std::string spelled_long = payload_of_canonical_size(32768, "");
  std::string with_escapes = spelled_long;
  with_escapes.replace(with_escapes.find("aaaa"), 4, R"(\u0061\u0061\u0061\u0061)");
  EXPECT_TRUE(sign_text(with_escapes).has_value());
}

const testing::ScriptedFailure kBadSignatures[] = {
    {"bridge message passes unchanged",
     [] { testing::answer_with_error("Invalid SHA-256 signing digest"); },
     "Invalid SHA-256 signing digest"},
    {"no result", [] { testing::answer_with_result({}); }, "Missing signature"},
    {"result without signature", [] { testing::answer_with_string_member("publicDer", "AAAA"); },
     "Missing signature"},
    {"signature not a string",
     [] { testing::answer_with_member("signature", json::JsonValue::boolean(true)); },
     "Missing signature"},
    {"line break", [] { testing::answer_with_string_member("signature", "AAAA\nAAAA"); },
     "Invalid signature encoding"},
    {"URL-safe letters", [] { testing::answer_with_string_member("signature", "-_-_"); },
     "Invalid signature encoding"},
    {"padding left out", [] { testing::answer_with_string_member("signature", "AAE"); },
     "Invalid signature encoding"},
};

TEST(RequestSigning, RejectsUnusableSignatures) {
  const json::JsonValue request =
      parse(R"({"payload":{"protocol":1,"audience":"ktarn-sealed-browser","purpose":"request"}})");
  for (const testing::ScriptedFailure& bad : kBadSignatures) {
    bad.script();
    const OperationOutcome outcome =
        sign_request(kKeyName, request, std::nullopt, testing::kScriptedBridge);
    ASSERT_FALSE(outcome.has_value()) << bad.reason;
    EXPECT_EQ(outcome.error(), bad.message) << bad.reason;
  }
}

TEST(RequestSigning, EmptySignatureIsPassedOnEmpty) {
  const json::JsonValue request =
      parse(R"({"payload":{"protocol":1,"audience":"ktarn-sealed-browser","purpose":"request"}})");
  testing::answer_with_string_member("signature", "");
  const OperationOutcome outcome =
      sign_request(kKeyName, request, std::nullopt, testing::kScriptedBridge);
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  EXPECT_EQ(result_member(outcome, "signature"), "");
}

}  // namespace
}  // namespace ktarn::macos
