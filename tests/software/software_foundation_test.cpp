#include <gtest/gtest.h>

#include <vector>

#include "bridge/platform/software/foundation/software_foundation.hpp"

namespace ktarn::platform::software {
namespace {

struct TextCase {
  const char* reason;
  const char* bytes;
  bool accepted;
};

TEST(SoftwareFoundation, AcceptsOnlyWellFormedUtf8) {
  const std::vector<TextCase> cases = {
      {"ASCII", "kTARN.App", true},
      {"two-byte", "caf\xC3\xA9", true},
      {"three-byte", "\xE2\x82\xAC", true},
      {"four-byte", "\xF0\x9F\x98\x80", true},
      {"highest code point", "\xF4\x8F\xBF\xBF", true},
      {"empty", "", true},
      {"lone continuation", "\x80", false},
      {"overlong slash", "\xC0\xAF", false},
      {"overlong three-byte", "\xE0\x80\xAF", false},
      {"overlong four-byte", "\xF0\x80\x80\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lead F5", "\xF5\x80\x80\x80", false},
      {"truncated sequence", "a\xE2\x82", false},
      {"bad continuation", "\xE2\x28\xA1", false},
  };
  SoftwareFoundation foundation;
  for (const auto& c : cases) {
    const auto text = foundation.string_with_utf8_string(c.bytes);
    EXPECT_EQ(text.has_value(), c.accepted) << c.reason;
    if (text) {
      EXPECT_EQ(*text, c.bytes) << c.reason;
    }
  }
  EXPECT_EQ(foundation.string_with_utf8_string(nullptr), std::nullopt);
}

struct Base64Case {
  const char* text;
  std::optional<std::string> bytes;  // none: refused
};

TEST(SoftwareFoundation, Base64RoundTripsAndDecodesStrictly) {
  const std::vector<Base64Case> cases = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYmFy", "foobar"},
      {"+/+/", "\xFB\xFF\xBF"},
      {"Zg", std::nullopt},        // unpadded
      {"Zg=", std::nullopt},       // short padding
      {"Zg===", std::nullopt},     // length not a multiple of 4
      {"Z===", std::nullopt},      // three padding symbols
      {"Zg==Zm8=", std::nullopt},  // padding inside
      {"Zh==", std::nullopt},      // spare bits set
      {"Zm9=", std::nullopt},      // spare bits set
      {"-_-_", std::nullopt},      // URL-safe alphabet
      {"Zm9v\n", std::nullopt},    // line break
      {"Zm 9", std::nullopt},      // space
      {"====", std::nullopt},
  };
  SoftwareFoundation foundation;
  for (const auto& c : cases) {
    const auto bytes = foundation.init_with_base64_encoded_string(c.text);
    ASSERT_EQ(bytes.has_value(), c.bytes.has_value()) << c.text;
    if (!bytes) continue;
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), *c.bytes) << c.text;
    EXPECT_EQ(foundation.base64_encoded_string(*bytes), c.text);
  }
}

TEST(SoftwareFoundation, SerialisesCompactJsonWithEscapedSlash) {
  Dictionary inner;
  inner.set("text", Value{std::string("a/b\"c\\d\n\t\x01\x1F\xC3\xA9")});
  inner.set("count", Value{std::int64_t{-7}});
  inner.set("list", Value{Array{Value{true}, Value{false}, Value{std::int64_t{0}}}});
  inner.set("empty", Value{Dictionary{}});
  Dictionary outer;
  outer.set("ok", Value{true});
  outer.set("result", Value{std::move(inner)});
  SoftwareFoundation foundation;
  EXPECT_EQ(foundation.data_with_json_object(Value{outer}),
            R"({"ok":true,"result":{"text":"a\/b\"c\\d\n\t\u0001\u001f)"
            "\xC3\xA9"
            R"(","count":-7,"list":[true,false,0],"empty":{}}})");
}

TEST(SoftwareFoundation, RefusesToSerialiseIllFormedText) {
  SoftwareFoundation foundation;
  Dictionary value;
  value.set("name", Value{std::string("\xFF")});
  EXPECT_EQ(foundation.data_with_json_object(Value{value}), std::nullopt);
  Dictionary name;
  name.set("\xC0\xAF", Value{true});
  EXPECT_EQ(foundation.data_with_json_object(Value{name}), std::nullopt);
}

}  // namespace
}  // namespace ktarn::platform::software
