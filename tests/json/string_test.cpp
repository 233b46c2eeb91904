// Strings through the reader and the writer: escapes, surrogate pairs, raw bytes, and the UTF-8
// rule of byte input.
#include <gtest/gtest.h>

#include <span>
#include <string>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"

namespace ktarn::json {
namespace {

ParseResult parse_bytes(std::string_view text) {
  return parse_json_bytes(
      std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

struct StringCase {
  std::string input;
  std::string held;
  std::string written;
};

class StringReads : public testing::TestWithParam<StringCase> {};

TEST_P(StringReads, HeldBytesAndWrittenText) {
  for (const auto& result : {parse_json(GetParam().input), parse_bytes(GetParam().input)}) {
    ASSERT_TRUE(result.has_value()) << result.error().category;
    ASSERT_TRUE(result->as_string().has_value());
    EXPECT_EQ(*result->as_string(), GetParam().held);
    EXPECT_EQ(write_json(*result), GetParam().written);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Strings, StringReads,
    testing::Values(
        StringCase{R"("\u00e9")", "\xC3\xA9", "\"\xC3\xA9\""}, StringCase{R"("\/")", "/", R"("/")"},
        StringCase{R"("\u001F")", "\x1F", R"("\u001f")"},
        StringCase{R"("\u000b\u0000")", std::string("\x0B\0", 2), R"("\u000b\u0000")"},
        StringCase{R"("\"\\\b\f\n\r\t")", "\"\\\b\f\n\r\t", R"("\"\\\b\f\n\r\t")"},
        StringCase{"\"\x7F\"", "\x7F", "\"\x7F\""},
        StringCase{R"("\ud83d\ude00")", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        StringCase{R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
        StringCase{R"("\u2028\u0800\u07FF\uFFFF")", "\xE2\x80\xA8\xE0\xA0\x80\xDF\xBF\xEF\xBF\xBF",
                   "\"\xE2\x80\xA8\xE0\xA0\x80\xDF\xBF\xEF\xBF\xBF\""},
        StringCase{"\"plain text that is longer than one word, with a / slash\"",
                   "plain text that is longer than one word, with a / slash",
                   "\"plain text that is longer than one word, with a / slash\""},
        StringCase{"\"a\\tb ...... \xC3\xA9 ......\\n\"", "a\tb ...... \xC3\xA9 ......\n",
                   "\"a\\tb ...... \xC3\xA9 ......\\n\""}));

struct Rejected {
  std::string input;
  std::string_view category;
};

class StringRejects : public testing::TestWithParam<Rejected> {};

TEST_P(StringRejects, InBothInputForms) {
  for (const auto& result : {parse_json(GetParam().input), parse_bytes(GetParam().input)}) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().category, GetParam().category);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Strings, StringRejects,
    testing::Values(Rejected{R"("\udc00")", "lone leading surrogate in hex escape"},
                    Rejected{R"("\ud800\u0041")", "lone leading surrogate in hex escape"},
                    Rejected{R"("\ud800\ud800")", "lone leading surrogate in hex escape"},
                    Rejected{R"("\ud800")", "unexpected end of hex escape"},
                    Rejected{R"("\ud800x")", "unexpected end of hex escape"},
                    Rejected{R"("\ud800\n")", "unexpected end of hex escape"},
                    Rejected{R"("\ud800)", "EOF while parsing a string"},
                    Rejected{R"("\ud800\)", "EOF while parsing a string"},
                    Rejected{R"("\u12)", "EOF while parsing a string"},
                    Rejected{R"("\)", "EOF while parsing a string"},
                    Rejected{R"("\u12g4")", "invalid escape"},
                    Rejected{R"("\x41")", "invalid escape"},
                    Rejected{R"("\U0041")", "invalid escape"}, Rejected{R"("\')", "invalid escape"},
                    Rejected{"\"\\t\t\"",
                             "control character (\\u0000-\\u001F) found while parsing a string"}));

TEST(ByteInput, RejectsStringsThatAreNotUtf8) {
  for (const std::string_view bad :
       {"\"\xFF\"", "\"\xC3\"", "\"\xC3\\u00e9\"", "\"\xC0\xAF\"", "\"\xE0\x80\xAF\"",
        "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\xF8\x88\x80\x80\x80\"", "\"\x80\"",
        "{\"\xFE\":1}", "[\"ok\",\"\xE2\x82\"]"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(bad)));
    const auto result = parse_bytes(bad);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().category, "invalid unicode code point");
  }
}

TEST(ByteInput, ChecksEncodingOnlyOnceTheStringEnds) {
  const auto unterminated = parse_bytes("\"\xFF");
  ASSERT_FALSE(unterminated.has_value());
  EXPECT_EQ(unterminated.error().category, "EOF while parsing a string");
  const auto bad_escape = parse_bytes("\"\xFF\\q\"");
  ASSERT_FALSE(bad_escape.has_value());
  EXPECT_EQ(bad_escape.error().category, "invalid escape");
}

TEST(ByteInput, AcceptsEveryWellFormedSequenceLength) {
  const auto result =
      parse_bytes("\"A\xC2\x80\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\"");
  ASSERT_TRUE(result.has_value()) << result.error().category;
  EXPECT_EQ(result->as_string()->size(), 17u);
}

}  // namespace
}  // namespace ktarn::json
