#include "main/handle_request.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"
#include "main/key_name.hpp"

namespace ktarn::host {
namespace {

constexpr std::string_view kHealthResult =
    R"({"attestation":false,"capabilities":["deviceKey","foreground","displays","processes"],)"
    R"("captureProtection":"not-enforced","keyStorage":"login-keychain","managedLockdown":false,)"
    R"("platform":"macos","version":"0.1.0"})";

std::string unsupported(std::string_view id) {
  return R"({"error":"Unsupported native operation","id":")" + std::string(id) + R"(","ok":false})";
}

std::string health(std::string_view id) {
  return R"({"id":")" + std::string(id) + R"(","ok":true,"result":)" + std::string(kHealthResult) +
         "}";
}

std::optional<std::string> answer(const std::string& request_text) {
  json::RootMemberTexts texts;
  const json::ParseResult request = json::parse_json(request_text, texts);
  EXPECT_TRUE(request.has_value()) << request_text;
  if (!request.has_value()) return "unparsable test input";
  const std::optional<json::JsonValue> response = handle_request(*request, texts, kDefaultKeyName);
  if (!response.has_value()) return std::nullopt;
  return json::write_json(*response);
}

struct RequestCase {
  const char* reason;
  std::string request;
  std::optional<std::string> response;  // none: the loop ends
};

TEST(HandleRequest, AnswersByTypeAndEchoesOnlyStringIds) {
  const std::string id80(80, 'i');
  const std::string two_byte_40 = [] {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "\xC3\xA9";
    return text;
  }();
  const RequestCase cases[] = {
      {"health without id", R"({"type":"health"})", health("")},
      {"health with id", R"({"id":"r1","type":"health"})", health("r1")},
      {"other members ignored", R"({"id":"a","type":"health","payload":[1]})", health("a")},
      {"empty object", "{}", unsupported("")},
      {"type in upper case", R"({"type":"HEALTH"})", unsupported("")},
      {"type capitalised", R"({"type":"Health"})", unsupported("")},
      {"type with a space", R"({"type":"health "})", unsupported("")},
      {"type a prefix of a word", R"({"type":"delete"})", unsupported("")},
      {"type unknown", R"({"type":"reboot"})", unsupported("")},
      {"type a number", R"({"type":1})", unsupported("")},
      {"type null", R"({"type":null})", unsupported("")},
      {"type an array", R"({"type":["health"]})", unsupported("")},
      {"numeric id", R"({"id":7,"type":"health"})", health("")},
      {"null id", R"({"id":null,"type":"health"})", health("")},
      {"object id", R"({"id":{"a":"b"},"type":"health"})", health("")},
      {"empty id", R"({"id":"","type":"health"})", health("")},
      {"top-level array", "[]", unsupported("")},
      {"top-level string", R"("health")", unsupported("")},
      {"top-level number", "5", unsupported("")},
      {"escaped id rewritten", R"({"id":"\u00e9\n\/","type":"x"})", unsupported("\xC3\xA9\\n/")},
      {"80-byte id", R"({"id":")" + id80 + R"(","type":"health"})", health(id80)},
      {"81-byte id ends the loop", R"({"id":")" + id80 + R"(i","type":"health"})", std::nullopt},
      {"81-byte id ends before the type", R"({"id":")" + id80 + R"(i"})", std::nullopt},
      {"40 two-byte characters", R"({"id":")" + two_byte_40 + R"(","type":"health"})",
       health(two_byte_40)},
      {"41 two-byte characters", R"({"id":")" + two_byte_40 + R"(\u00e9","type":"health"})",
       std::nullopt},
      {"escapes count after unescaping", R"({"id":")" + std::string(79, 'i') + R"(\n"})",
       unsupported(std::string(79, 'i') + "\\n")},
  };
  for (const RequestCase& c : cases) {
    EXPECT_EQ(answer(c.request), c.response) << c.reason;
  }
}

}  // namespace
}  // namespace ktarn::host
