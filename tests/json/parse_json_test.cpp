// Grammar, white space, nesting and failure categories of the reader, checked through the
// written form of what it accepts.
#include "json/parse_json.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "json/write_json.hpp"

namespace ktarn::json {
namespace {

struct Accepted {
  std::string input;
  std::string written;
};

class ParseAccepts : public testing::TestWithParam<Accepted> {};

TEST_P(ParseAccepts, WritesCanonicalForm) {
  const auto result = parse_json(GetParam().input);
  ASSERT_TRUE(result.has_value()) << result.error().category;
  EXPECT_EQ(write_json(*result), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseAccepts,
    testing::Values(Accepted{R"({"b":1,"a":[true,null]})", R"({"a":[true,null],"b":1})"},
                    Accepted{"{ \"a\" : 1 }", R"({"a":1})"}, Accepted{"\t{}\r\n ", "{}"},
                    Accepted{" [ 1 , false , \"x\" , { } , [ ] ] ", R"([1,false,"x",{},[]])"},
                    Accepted{"5", "5"}, Accepted{R"("x")", R"("x")"}, Accepted{"null", "null"},
                    Accepted{R"({"a":1,"a":2})", R"({"a":2})"},
                    Accepted{R"({"a":{"x":1},"b":0,"a":[3]})", R"({"a":[3],"b":0})"},
                    Accepted{"{\"aa\":0,\"\xC3\xA9\":0,\"B\":0,\"a\":0}",
                             "{\"B\":0,\"a\":0,\"aa\":0,\"\xC3\xA9\":0}"},
                    Accepted{R"({"":1,"a\u0000":2,"a":3})", R"({"":1,"a":3,"a\u0000":2})"}));

// Records of one array that repeat their names: the order found for one record may be reused only
// where it is still right.
INSTANTIATE_TEST_SUITE_P(
    Records, ParseAccepts,
    testing::Values(
        Accepted{R"([{"b":1,"a":2},{"b":3,"a":4}])", R"([{"a":2,"b":1},{"a":4,"b":3}])"},
        Accepted{R"([{"b":1,"a":2},{"a":3,"b":4}])", R"([{"a":2,"b":1},{"a":3,"b":4}])"},
        Accepted{R"([{"b":1,"a":2},{"c":1,"a":2}])", R"([{"a":2,"b":1},{"a":2,"c":1}])"},
        Accepted{R"([{"b":1,"a":2},{"b":3,"a":4,"b":5}])", R"([{"a":2,"b":1},{"a":4,"b":5}])"},
        Accepted{R"([{"b":1,"a":2},{"b\u0000":1,"a":2}])",
                 R"([{"a":2,"b":1},{"a":2,"b\u0000":1}])"},
        Accepted{R"([{"zzzzzzzz1":1,"a":2},{"zzzzzzzz2":1,"a":2}])",
                 R"([{"a":2,"zzzzzzzz1":1},{"a":2,"zzzzzzzz2":1}])"},
        Accepted{R"([{"zzzzzzzz2":1,"zzzzzzzz1":2,"a":0},{"zzzzzzzz1":1,"zzzzzzzz2":2,"a":0}])",
                 R"([{"a":0,"zzzzzzzz1":2,"zzzzzzzz2":1},{"a":0,"zzzzzzzz1":1,"zzzzzzzz2":2}])"},
        Accepted{R"([{"w":{"y":1,"x":2},"n":1},{"w":{"y":3,"x":4},"n":2}])",
                 R"([{"n":1,"w":{"x":2,"y":1}},{"n":2,"w":{"x":4,"y":3}}])"}));

struct Rejected {
  std::string input;
  std::string_view category;
};

class ParseRejects : public testing::TestWithParam<Rejected> {};

TEST_P(ParseRejects, WithCategory) {
  const auto result = parse_json(GetParam().input);
  ASSERT_FALSE(result.has_value()) << write_json(*result);
  EXPECT_EQ(result.error().category, GetParam().category);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseRejects,
    testing::Values(
        Rejected{"", "EOF while parsing a value"}, Rejected{" \t\r\n", "EOF while parsing a value"},
        Rejected{"{} x", "trailing characters"}, Rejected{"{}{}", "trailing characters"},
        Rejected{"[1,]", "trailing comma"}, Rejected{R"({"a":1,})", "trailing comma"},
        Rejected{"[", "EOF while parsing a list"}, Rejected{"[1", "EOF while parsing a list"},
        Rejected{"[1,", "EOF while parsing a value"}, Rejected{"[1 2]", "expected `,` or `]`"},
        Rejected{"{", "EOF while parsing an object"},
        Rejected{R"({"a")", "EOF while parsing an object"},
        Rejected{R"({"a":)", "EOF while parsing a value"},
        Rejected{R"({"a":1)", "EOF while parsing an object"},
        Rejected{R"({"a":1,)", "EOF while parsing a value"}, Rejected{R"({"a" 1})", "expected `:`"},
        Rejected{R"({"a":1 "b":2})", "expected `,` or `}`"},
        Rejected{"{1:2}", "key must be a string"},
        Rejected{R"({"a":1,2:3})", "key must be a string"},
        Rejected{"tru", "EOF while parsing a value"}, Rejected{"trUe", "expected ident"},
        Rejected{"nul1", "expected ident"}, Rejected{"NaN", "expected value"},
        Rejected{"'a'", "expected value"}, Rejected{"+1", "expected value"},
        Rejected{".5", "expected value"}, Rejected{"\xEF\xBB\xBF{}", "expected value"},
        Rejected{"\f{}", "expected value"}, Rejected{"{}\v", "trailing characters"},
        Rejected{"\"abc", "EOF while parsing a string"},
        Rejected{"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string"},
        Rejected{std::string("\"a\0\"", 4),
                 "control character (\\u0000-\\u001F) found while parsing a string"}));

struct Position {
  std::string input;
  std::size_t line;
  std::size_t column;
};

class FailurePosition : public testing::TestWithParam<Position> {};

TEST_P(FailurePosition, CountsLinesAndColumnBytes) {
  const auto result = parse_json(GetParam().input);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().line, GetParam().line);
  EXPECT_EQ(result.error().column, GetParam().column);
}

INSTANTIATE_TEST_SUITE_P(Grammar, FailurePosition,
                         testing::Values(Position{"x", 1, 0}, Position{"[1,]", 1, 3},
                                         Position{"[\n1,\n  x]", 3, 2}, Position{"[\n", 2, 0},
                                         Position{"{}\n\n ?", 3, 1}));

// depth copies of open, then center, then depth copies of close.
std::string nested(std::size_t depth, std::string_view open, std::string_view center,
                   std::string_view close) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += open;
  text += center;
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(ParseNesting, AllowsOneHundredTwentySevenOpenContainers) {
  for (const std::string& text : {nested(127, "[", "", "]"), nested(127, "{\"a\":", "0", "}"),
                                  nested(63, "[{\"k\":", "[]", "}]"),
                                  nested(1, "[", nested(63, "{\"k\":[", "", "]}"), "]")}) {
    EXPECT_TRUE(parse_json(text).has_value()) << text;
  }
}

TEST(ParseNesting, RejectsTheHundredTwentyEighth) {
  for (const std::string& text :
       {nested(128, "[", "", "]"), nested(127, "{\"a\":", "{}", "}"),
        nested(1, "[", nested(127, "{\"k\":", "0", "}"), "]"), nested(100000, "[", "", "")}) {
    const auto result = parse_json(text);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().category, "recursion limit exceeded");
  }
}

TEST(ParseNesting, ClosingGivesTheDepthBack) {
  std::string text = "[";
  for (int i = 0; i < 300; ++i) text += nested(126, "[", "", "]") + ",";
  text += "0]";
  EXPECT_TRUE(parse_json(text).has_value());
}

}  // namespace
}  // namespace ktarn::json

namespace ktarn::json {
namespace {

// The root member "p" of each text, as sent, when it is already canonical.
struct MemberTextCase {
  const char* reason;
  std::string_view text;
  std::optional<std::string_view> canonical;
};

const MemberTextCase kMemberTexts[] = {
    {"canonical object", R"({"id":"a","p":{"a":1,"b":[true,null,"x",-12]}})",
     R"({"a":1,"b":[true,null,"x",-12]})"},
    {"space around the value only", "{\"p\" : \t{\"a\":1} }", R"({"a":1})"},
    {"non-ASCII kept raw", R"({"p":"é→𝄞"})", R"("é→𝄞")"},
    {"white space inside", R"({"p":{"a": 1}})", std::nullopt},
    {"members out of order", R"({"p":{"b":1,"a":2}})", std::nullopt},
    {"repeated member", R"({"p":{"a":1,"a":2}})", std::nullopt},
    {"escape the writer would not write", R"({"p":"\u0041"})", std::nullopt},
    {"escape the writer would write too", R"({"p":"\n"})", std::nullopt},
    {"fraction", R"({"p":1.5})", std::nullopt},
    {"exponent", R"({"p":1e2})", std::nullopt},
    {"negative zero", R"({"p":-0})", std::nullopt},
    {"beyond every integer", R"({"p":100000000000000000000})", std::nullopt},
    {"repeated root member: the last", R"({"p":{"x":1},"p":{"y":2}})", R"({"y":2})"},
    {"repeated root member, last not canonical", R"({"p":{"x":1},"p":{"y" :2}})", std::nullopt},
    {"last spelled through an escape", R"({"p":{"x":1},"\u0070":{"y":2}})", std::nullopt},
    {"more members than kept", R"({"p":1,"b":1,"c":1,"d":1,"e":1,"f":1,"g":1,"h":1,"i":1})",
     std::nullopt},
    {"only root members", R"({"q":{"p":1}})", std::nullopt},
    {"root not an object", R"([{"p":1}])", std::nullopt},
};

TEST(RootMemberTexts, CanonicalOnlyWhenTheWriterWouldWriteTheSameBytes) {
  for (const MemberTextCase& c : kMemberTexts) {
    RootMemberTexts texts;
    const ParseResult parsed = parse_json(c.text, texts);
    ASSERT_TRUE(parsed.has_value()) << c.reason;
    EXPECT_EQ(texts.canonical_text("p"), c.canonical) << c.reason;
    if (const auto text = texts.canonical_text("p")) {
      EXPECT_EQ(*text, write_json(*find_member(*parsed, "p"))) << c.reason;
    }
  }
}

}  // namespace
}  // namespace ktarn::json
