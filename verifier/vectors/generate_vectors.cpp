// Writes the golden vectors both verifiers must agree on, to standard output, from the two
// test-only keys beside this file (never a device key: their private halves are public here).
//   ktarn-verify-vectors FOLDER_OF_THE_TEST_KEYS > vectors.json
// Each case is one line: its name ("case"), a key, a sign result, the expectations, and the
// outcome, which is the verified payload's bytes or the exact reason. RS256 signatures are
// deterministic, so the same keys always give the same file; a test holds the committed file to
// this output.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <bit>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "base/base64.hpp"
#include "base/sha256.hpp"
#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "verifier/reasons.hpp"

namespace {

using ktarn::as_bytes;
using ktarn::base64url_encode;
using ktarn::json::JsonValue;
using ktarn::verifier::Reason;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "ktarn-verify-vectors: %s\n", why.c_str());
  std::exit(1);
}

JsonValue parse(std::string_view text) {
  ktarn::json::ParseResult parsed = ktarn::json::parse_json(text);
  if (!parsed) fail("bad JSON in the generator: " + std::string(text));
  return std::move(*parsed);
}

std::string url(std::string_view bytes) {
  return base64url_encode(as_bytes(bytes));
}

class TestKey {
 public:
  explicit TestKey(const std::string& path) {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file) fail("cannot open " + path);
    key_.reset(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    BIGNUM* n = nullptr;
    if (!key_ || EVP_PKEY_get_bn_param(key_.get(), OSSL_PKEY_PARAM_RSA_N, &n) != 1) {
      fail("not an RSA key: " + path);
    }
    modulus_.resize(256);
    BN_bn2binpad(n, reinterpret_cast<unsigned char*>(modulus_.data()), 256);
    BN_free(n);
  }

  std::string sign(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    std::string signature(256, '\0');
    std::size_t size = signature.size();
    if (EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
      fail("signing failed");
    }
    return signature;
  }

  std::string n() const { return url(modulus_); }
  std::string key_id() const { return url_digest(n() + ":AQAB"); }
  // The RFC 7638 thumbprint, which this system deliberately does not use as its key id.
  std::string thumbprint() const {
    return url_digest(R"({"e":"AQAB","kty":"RSA","n":")" + n() + "\"}");
  }
  JsonValue jwk() const {
    return parse(R"({"alg":"RS256","attested":false,"e":"AQAB","keyId":")" + key_id() +
                 R"(","kty":"RSA","n":")" + n() + R"(","protection":"software-provider"})");
  }

 private:
  static std::string url_digest(std::string_view text) {
    return base64url_encode(ktarn::sha256(as_bytes(text)));
  }

  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{nullptr, &EVP_PKEY_free};
  std::string modulus_;
};

JsonValue sign_result(std::string payload_text, std::string signature_text) {
  JsonValue result = JsonValue::object();
  result.insert("payload", JsonValue::string(payload_text));
  result.insert("signature", JsonValue::string(signature_text));
  return result;
}

JsonValue with_member(JsonValue object, std::string_view name, JsonValue value) {
  object.insert(name, std::move(value));
  return object;
}

JsonValue success_response(std::string_view id, JsonValue result) {
  return parse(R"({"id":")" + std::string(id) + R"(","ok":true,"result":)" +
               ktarn::json::write_json(result) + "}");
}

// A canonical payload: the signing context with one purpose, plus the given members.
std::string payload(std::string_view purpose, std::string_view members = "") {
  std::string text = R"({"audience":"ktarn-sealed-browser","protocol":1,"purpose":")" +
                     std::string(purpose) + "\"";
  if (!members.empty()) {
    text += ',';
    text += members;
  }
  return ktarn::json::write_json(parse(text + "}"));
}

struct Expect {
  std::string purpose, nonce, key_id;  // empty: not expected
};

class Vectors {
 public:
  Vectors(TestKey device, TestKey other) : device_(std::move(device)), other_(std::move(other)) {}

  const TestKey& device() const { return device_; }
  const TestKey& other() const { return other_; }

  // doubles, when given, holds the bits (16 hexadecimal digits) of each double of the payload's
  // array "x": the values the verifiers must hand back.
  void add(std::string_view name, JsonValue key, JsonValue signed_result, const Expect& expect,
           JsonValue outcome, JsonValue doubles = JsonValue()) {
    JsonValue expectations = JsonValue::object();
    if (!expect.purpose.empty()) expectations.insert("purpose", JsonValue::string(expect.purpose));
    if (!expect.nonce.empty()) expectations.insert("nonce", JsonValue::string(expect.nonce));
    if (!expect.key_id.empty()) expectations.insert("keyId", JsonValue::string(expect.key_id));
    JsonValue entry = JsonValue::object();
    entry.insert("case", JsonValue::string(name));
    entry.insert("key", std::move(key));
    entry.insert("signResult", std::move(signed_result));
    entry.insert("expect", std::move(expectations));
    entry.insert("outcome", std::move(outcome));
    if (!doubles.is_null()) entry.insert("doubles", std::move(doubles));
    lines_.push_back(ktarn::json::write_json(entry));
  }

  // The device key's honest signature over bytes, with the outcome given.
  void signed_bytes(std::string_view name, std::string_view bytes, JsonValue outcome,
                    const Expect& expect = {}) {
    add(name, device_.jwk(), sign_result(url(bytes), url(device_.sign(bytes))), expect,
        std::move(outcome));
  }

  void accepted(std::string_view name, std::string_view bytes, std::string_view purpose,
                const Expect& expect = {}) {
    signed_bytes(name, bytes, accepted_outcome(bytes, purpose), expect);
  }

  void refused(std::string_view name, std::string_view bytes, Reason reason,
               const Expect& expect = {}) {
    signed_bytes(name, bytes, refusal(reason), expect);
  }

  // Accepted, with the bits of the doubles in the payload's array "x".
  void accepted_doubles(std::string_view name, std::string_view bytes) {
    JsonValue doubles = JsonValue::array();
    const JsonValue read = parse(bytes);
    const std::span<const JsonValue> xs = *ktarn::json::find_member(read, "x")->as_array();
    for (const JsonValue& x : xs) {
      char hex[17];
      std::snprintf(hex, sizeof hex, "%016llx",
                    static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(*x.as_double())));
      doubles.push_back(JsonValue::string(hex));
    }
    add(name, device_.jwk(), sign_result(url(bytes), url(device_.sign(bytes))), {},
        accepted_outcome(bytes, "challenge"), std::move(doubles));
  }

  JsonValue accepted_outcome(std::string_view bytes, std::string_view purpose) const {
    JsonValue outcome = parse(R"({"ok":true})");
    outcome.insert("payloadBytes", JsonValue::string(bytes));
    outcome.insert("keyId", JsonValue::string(device_.key_id()));
    outcome.insert("purpose", JsonValue::string(purpose));
    return outcome;
  }

  static JsonValue refusal(Reason reason) {
    JsonValue outcome = parse(R"({"ok":false})");
    outcome.insert("reason", JsonValue::string(ktarn::verifier::reason_text(reason)));
    return outcome;
  }

  void print() const {
    std::string text = "{\"cases\":[\n";
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      text += lines_[i] + (i + 1 < lines_.size() ? ",\n" : "\n");
    }
    JsonValue reasons = JsonValue::array();
    for (std::string_view reason : ktarn::verifier::kReasonTexts) {
      reasons.push_back(JsonValue::string(reason));
    }
    text += "],\n\"reasons\":" + ktarn::json::write_json(reasons) + "}\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
  }

 private:
  TestKey device_;
  TestKey other_;
  std::vector<std::string> lines_;
};

void valid_cases(Vectors& v) {
  const std::string nonce = "bm9uY2UtMDAwMQ";
  v.accepted("challenge with its nonce, purpose and pinned key id",
             payload("challenge", R"("nonce":")" + nonce + "\""), "challenge",
             {"challenge", nonce, v.device().key_id()});
  v.accepted("request with members of its own",
             payload("request", R"("method":"POST","url":"https://example.test/a?b=c")"), "request",
             {"request", "", ""});
  v.accepted("events with an array of events",
             payload("events", R"("events":[{"at":1,"kind":"focus"},{"at":2,"kind":"blur"}])"),
             "events");
  v.accepted(
      "escapes and non-ASCII text",
      payload("challenge",
              R"("B":"quote \" backslash \\ slash \/ \b\f\n\r\t \u0000 \u000b \u001f \u007f",)"
              R"("a":"caf\u00e9 \u65e5\u672c \ud83d\ude00 \u2028\u2029","\u00e9":"after ASCII")"),
      "challenge");
  v.accepted("every number form",
             payload("challenge",
                     R"("n":[0,1,18446744073709551615,-1,-9223372036854775808,1.0,-0.0,0.0,0.5,)"
                     R"(123.456,1e21,1e-6,1.5e-7,0.00001,1e15,5e-324,1.7976931348623157e308,)"
                     R"(9007199254740993.0,18446744073709551616,-9223372036854775809,1e-400],)"
                     R"("o":{"t":true,"f":false,"z":null,"e":{},"a":[]})"),
             "challenge");
  const std::string base = payload("events", R"("pad":"")");
  const std::string full =
      payload("events", R"("pad":")" + std::string(32768 - base.size(), 'x') + "\"");
  v.accepted("a payload of exactly 32768 bytes", full, "events");

  const std::string bytes = payload("challenge", R"("nonce":"whole-lines")");
  v.add("whole response lines", success_response("k", v.device().jwk()),
        success_response("s", sign_result(url(bytes), url(v.device().sign(bytes)))), {},
        v.accepted_outcome(bytes, "challenge"));
}

// The text with a spare bit set in its last symbol; the text must encode a byte count that is
// not a multiple of 3, so that its last symbol has spare bits.
std::string with_stray_bit(std::string text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  text.back() = kAlphabet[kAlphabet.find(text.back()) | 1];
  return text;
}

// The device key's JWK with one change.
JsonValue changed_jwk(const Vectors& v, std::string_view name, std::string_view value_text) {
  return with_member(v.device().jwk(), name, parse(value_text));
}

void key_cases(Vectors& v) {
  const std::string bytes = payload("challenge", R"("nonce":"k")");
  const JsonValue good = sign_result(url(bytes), url(v.device().sign(bytes)));
  auto refused_key = [&](std::string_view name, JsonValue key, Reason reason,
                         const Expect& expect = {}) {
    v.add(name, std::move(key), good, expect, Vectors::refusal(reason));
  };
  refused_key("key is an array", parse("[" + ktarn::json::write_json(v.device().jwk()) + "]"),
              Reason::kKeyNotObject);
  refused_key("key response is a failure",
              parse(R"({"error":"Login Keychain is locked","id":"k","ok":false})"),
              Reason::kKeyNotObject);
  v.add("sign result is a string", v.device().jwk(), JsonValue::string(url(bytes)), {},
        Vectors::refusal(Reason::kSignResultNotObject));
  v.add("sign response is a failure", v.device().jwk(),
        parse(R"({"error":"Signing context rejected","id":"s","ok":false})"), {},
        Vectors::refusal(Reason::kSignResultNotObject));
  refused_key("key with an extra member", changed_jwk(v, "use", R"("sig")"),
              Reason::kKeyNotDeviceKey);
  refused_key("key with another alg", changed_jwk(v, "alg", R"("RS512")"),
              Reason::kKeyNotDeviceKey);
  refused_key("key with alg none", changed_jwk(v, "alg", R"("none")"), Reason::kKeyNotDeviceKey);
  refused_key("key claiming attestation", changed_jwk(v, "attested", "true"),
              Reason::kKeyNotDeviceKey);
  refused_key("key with another exponent", changed_jwk(v, "e", R"("Aw")"),
              Reason::kKeyNotDeviceKey);
  refused_key("key with another protection", changed_jwk(v, "protection", R"("hardware")"),
              Reason::kKeyNotDeviceKey);
  refused_key("key without keyId",
              parse(R"({"alg":"RS256","attested":false,"e":"AQAB","kty":"RSA","n":")" +
                    v.device().n() + R"(","protection":"software-provider"})"),
              Reason::kKeyNotDeviceKey);
  const std::string n = v.device().n();
  refused_key("modulus one character short", changed_jwk(v, "n", "\"" + n.substr(1) + "\""),
              Reason::kModulusMalformed);
  std::string low = n;
  low[0] = 'B';  // first byte 0x04..0x07: a 2043-bit modulus
  refused_key("modulus without its top bit", changed_jwk(v, "n", "\"" + low + "\""),
              Reason::kModulusMalformed);
  refused_key("modulus with stray bits in its last symbol",
              changed_jwk(v, "n", "\"" + with_stray_bit(n) + "\""), Reason::kModulusMalformed);
  refused_key("modulus as a number", changed_jwk(v, "n", "7"), Reason::kModulusMalformed);
  refused_key("key id of another key", changed_jwk(v, "keyId", "\"" + v.other().key_id() + "\""),
              Reason::kKeyIdMismatch);
  refused_key("key id computed as a JWK thumbprint",
              changed_jwk(v, "keyId", "\"" + v.device().thumbprint() + "\""),
              Reason::kKeyIdMismatch);
  refused_key("another key than the pinned one", v.device().jwk(), Reason::kKeyIdNotExpected,
              {"", "", v.other().key_id()});
  refused_key("pinned key id compared byte for byte", v.device().jwk(), Reason::kKeyIdNotExpected,
              {"", "", v.device().key_id() + " "});
}

// A payload whose text has a "-" or "_" and a last symbol with spare bits (its length is not a
// multiple of 3), found by trying nonces; "?" gives "_" where it is the third byte of a group of
// three. The text with that letter in the standard alphabet.
std::string payload_with_url_letter(std::string& bytes) {
  for (int i = 0;; ++i) {
    bytes = payload("challenge", R"("nonce":"???)" + std::to_string(i) + "\"");
    const std::string text = url(bytes);
    const std::size_t at = text.find_first_of("-_");
    if (at != std::string::npos && bytes.size() % 3 != 0) {
      std::string standard = text;
      standard[at] = text[at] == '-' ? '+' : '/';
      return standard;
    }
  }
}

void encoding_cases(Vectors& v) {
  std::string bytes;
  const std::string standard = payload_with_url_letter(bytes);
  const std::string text = url(bytes);
  const std::string signature = url(v.device().sign(bytes));
  auto refused_result = [&](std::string_view name, JsonValue result, Reason reason) {
    v.add(name, v.device().jwk(), std::move(result), {}, Vectors::refusal(reason));
  };
  refused_result("payload in the standard alphabet", sign_result(standard, signature),
                 Reason::kPayloadNotBase64url);
  refused_result("payload padded",
                 sign_result(text + (bytes.size() % 3 == 1 ? "==" : "="), signature),
                 Reason::kPayloadNotBase64url);
  refused_result("payload with stray bits in its last symbol",
                 sign_result(with_stray_bit(text), signature), Reason::kPayloadNotBase64url);
  refused_result("payload with a line break",
                 sign_result(text.substr(0, 8) + "\n" + text.substr(8), signature),
                 Reason::kPayloadNotBase64url);
  refused_result("payload missing", parse(R"({"signature":")" + signature + "\"}"),
                 Reason::kPayloadNotBase64url);
  refused_result("signature padded", sign_result(text, signature + "=="),
                 Reason::kSignatureNotBase64url);
  std::string standard_signature = signature;
  const std::size_t at = signature.find_first_of("-_");
  if (at == std::string::npos) fail("the signature has no URL-safe letter");
  standard_signature[at] = signature[at] == '-' ? '+' : '/';
  refused_result("signature in the standard alphabet", sign_result(text, standard_signature),
                 Reason::kSignatureNotBase64url);
  refused_result("signature missing", parse(R"({"payload":")" + text + "\"}"),
                 Reason::kSignatureNotBase64url);
}

void signature_cases(Vectors& v) {
  const std::string bytes = payload("challenge", R"("nonce":"s")");
  const std::string signature = v.device().sign(bytes);
  auto refused_result = [&](std::string_view name, std::string_view message,
                            std::string_view signature_bytes) {
    v.add(name, v.device().jwk(), sign_result(url(message), url(signature_bytes)), {},
          Vectors::refusal(Reason::kSignatureInvalid));
  };
  std::string tampered = bytes;
  tampered[tampered.find("challenge")] = 'C';
  refused_result("a tampered payload byte", tampered, signature);
  std::string flipped = signature;
  flipped[100] ^= 0x01;
  refused_result("a tampered signature", bytes, flipped);
  refused_result("another key's signature", bytes, v.other().sign(bytes));
  refused_result("a signature one byte short", bytes, signature.substr(1));
  refused_result("an empty signature", bytes, "");
  const std::string large = payload("events", R"("pad":")" + std::string(40000, 'x') + "\"");
  v.add("a payload too large under another key's signature", v.device().jwk(),
        sign_result(url(large), url(v.other().sign(large))), {},
        Vectors::refusal(Reason::kPayloadTooLarge));
  // One character over the text of 32768 bytes: refused before the signature is even read.
  v.add("a payload text over the limit beside a signature that is not base64url", v.device().jwk(),
        sign_result(std::string(43692, 'A'), "not base64url"), {},
        Vectors::refusal(Reason::kPayloadTooLarge));
}

// The double a text reads as; none for a text that is not a finite double.
std::optional<double> read_double(const std::string& text) {
  const ktarn::json::ParseResult value = ktarn::json::parse_json(text);
  if (!value || !value->as_double()) return std::nullopt;
  return *value->as_double();
}

std::string correctly_rounded(double x) {
  char text[64];
  return {text, std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr};
}

// Doubles for which the reader, rounding twice, and a correctly rounded conversion part: the
// payload is signed in digits the reader takes back to each, and the verifiers must hand back
// exactly the doubles the signer held. Plain "mEn" texts, and the texts a browser writes for
// arbitrary doubles (their correctly rounded shortest digits) where the two part.
void number_cases(Vectors& v) {
  std::string texts = "1e-24,4e-25,1e-307,3e49,-1e-24";
  std::mt19937_64 random(24);
  for (int found = 0; found < 120;) {
    const std::string text = correctly_rounded(std::bit_cast<double>(random() >> 1));
    const auto held = read_double(text);
    if (!held || read_double(correctly_rounded(*held)) == held) continue;
    texts += "," + text;
    ++found;
  }
  v.accepted_doubles("doubles the reader rounds apart from a correct rounding",
                     payload("challenge", R"("x":[)" + texts + "]"));
  v.refused("a double in correctly rounded digits the reader takes to another double",
            R"({"audience":"ktarn-sealed-browser","protocol":1,"purpose":"challenge",)"
            R"("x":1.0000000000000001e-24})",
            Reason::kPayloadNotCanonical);
}

void payload_cases(Vectors& v) {
  const std::string context =
      R"("audience":"ktarn-sealed-browser","protocol":1,"purpose":"challenge")";
  struct Case {
    std::string_view name;
    std::string bytes;
    Reason reason;
  };
  const std::string base = payload("events", R"("pad":"")");
  const Case cases[] = {
      {"a payload of 32769 bytes",
       payload("events", R"("pad":")" + std::string(32769 - base.size(), 'x') + "\""),
       Reason::kPayloadTooLarge},
      {"payload that is an array", "[{" + context + "}]", Reason::kPayloadNotObject},
      {"payload that is not JSON", "challenge accepted", Reason::kPayloadNotObject},
      {"payload that is empty", "", Reason::kPayloadNotObject},
      {"payload with invalid UTF-8", "{" + context + ",\"x\":\"\xC3\x28\"}",
       Reason::kPayloadNotObject},
      {"payload nested beyond 127 levels",
       "{" + context + ",\"x\":" + std::string(127, '[') + std::string(127, ']') + "}",
       Reason::kPayloadNotObject},
      {"members out of order",
       R"({"protocol":1,"audience":"ktarn-sealed-browser","purpose":"challenge"})",
       Reason::kPayloadNotCanonical},
      {"white space", "{" + context + ", \"x\":1}", Reason::kPayloadNotCanonical},
      {"a trailing line feed", "{" + context + "}\n", Reason::kPayloadNotCanonical},
      {"an escape the writer does not use", "{" + context + R"(,"x":"\u0041\/"})",
       Reason::kPayloadNotCanonical},
      {"another number notation", "{" + context + R"(,"x":1e2})", Reason::kPayloadNotCanonical},
      {"a double without its fraction", "{" + context + R"(,"x":1.50})",
       Reason::kPayloadNotCanonical},
      {"a repeated member", "{" + context + R"(,"x":1,"x":1})", Reason::kPayloadNotCanonical},
      {"protocol 1.0",
       R"({"audience":"ktarn-sealed-browser","protocol":1.0,"purpose":"challenge"})",
       Reason::kProtocolWrong},
      {"protocol \"1\"",
       R"({"audience":"ktarn-sealed-browser","protocol":"1","purpose":"challenge"})",
       Reason::kProtocolWrong},
      {"protocol 2", R"({"audience":"ktarn-sealed-browser","protocol":2,"purpose":"challenge"})",
       Reason::kProtocolWrong},
      {"protocol missing", R"({"audience":"ktarn-sealed-browser","purpose":"challenge"})",
       Reason::kProtocolWrong},
      {"another audience",
       R"({"audience":"ktarn-sealed-browser2","protocol":1,"purpose":"challenge"})",
       Reason::kAudienceWrong},
      {"audience in another case",
       R"({"audience":"KTARN-sealed-browser","protocol":1,"purpose":"challenge"})",
       Reason::kAudienceWrong},
      {"audience missing", R"({"protocol":1,"purpose":"challenge"})", Reason::kAudienceWrong},
      {"another purpose", payload("login"), Reason::kPurposeUnknown},
      {"purpose in another case", payload("Challenge"), Reason::kPurposeUnknown},
      {"purpose empty", payload(""), Reason::kPurposeUnknown},
      {"purpose missing", R"({"audience":"ktarn-sealed-browser","protocol":1})",
       Reason::kPurposeUnknown},
  };
  for (const Case& c : cases) v.refused(c.name, c.bytes, c.reason);
}

void expectation_cases(Vectors& v) {
  const std::string bytes = payload("request", R"("nonce":"n-1")");
  v.refused("another purpose than expected", bytes, Reason::kPurposeNotExpected,
            {"challenge", "", ""});
  v.refused("another nonce than expected", bytes, Reason::kNonceNotExpected, {"", "n-2", ""});
  v.refused("nonce differing in case", bytes, Reason::kNonceNotExpected, {"", "N-1", ""});
  v.refused("nonce expected but absent", payload("request"), Reason::kNonceNotExpected,
            {"", "n-1", ""});
  v.refused("nonce that is not a string", payload("request", R"("nonce":1)"),
            Reason::kNonceNotExpected, {"", "1", ""});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) fail("usage: ktarn-verify-vectors FOLDER_OF_THE_TEST_KEYS");
  const std::string folder = argv[1];
  Vectors vectors(TestKey(folder + "/test-only-device-key.pem"),
                  TestKey(folder + "/test-only-other-key.pem"));
  valid_cases(vectors);
  key_cases(vectors);
  encoding_cases(vectors);
  signature_cases(vectors);
  payload_cases(vectors);
  number_cases(vectors);
  expectation_cases(vectors);
  vectors.print();
  return std::fflush(stdout) == 0 ? 0 : 1;
}
