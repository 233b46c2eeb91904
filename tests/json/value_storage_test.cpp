// The value's own storage and the block-wise string scans: escapes and non-ASCII bytes at every
// position of short and block-straddling strings, integers at the edges of 18 digits and of 64
// bits, and moves and copies that must keep trees intact, a value assigned one of its own members
// included.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/base64.hpp"
#include "json/json_value.hpp"
#include "json/parse_json.hpp"
#include "json/write_json.hpp"

namespace ktarn::json {
namespace {

// Every string length around one and two blocks of eight and of sixteen bytes, with one byte
// that must be escaped placed at every position: the reader must resolve it and the writer must
// escape it, wherever the scan's blocks and last (overlapping) word happen to fall. A non-ASCII
// byte at every position must likewise reach the reader's UTF-8 check: a well-formed sequence
// reads back, a lone continuation byte is refused.
TEST(PlainRuns, EscapeAtEveryPositionRoundTrips) {
  for (std::size_t length = 1; length <= 40; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (const char special : {'"', '\\', '\n', '\x1f'}) {
        std::string text(length, 'x');
        text[at] = special;
        const std::string written = write_json(JsonValue::string(text));
        const auto parsed = parse_json(written);
        ASSERT_TRUE(parsed.has_value()) << written;
        EXPECT_EQ(*parsed->as_string(), text) << written;
        EXPECT_EQ(write_json(*parsed), written);
      }
      const auto quoted_with = [&](std::string_view middle) {
        std::string text(1, '"');
        text.append(at, 'x');
        text.append(middle);
        text.append(length - at - 1, 'x');
        text.push_back('"');
        return text;
      };
      EXPECT_TRUE(parse_json_bytes(as_bytes(quoted_with("\xc3\xa9"))).has_value()) << at;
      EXPECT_FALSE(parse_json_bytes(as_bytes(quoted_with("\xa9"))).has_value()) << at;
    }
  }
}

TEST(Integers, EdgesOfEighteenDigitsAndSixtyFourBitsKeepTheirForm) {
  struct Case {
    const char* text;
    const char* written;
  };
  const Case cases[] = {
      {"[999999999999999999]", "[999999999999999999]"},
      {"[-999999999999999999]", "[-999999999999999999]"},
      {"[1000000000000000000]", "[1000000000000000000]"},
      {"[-9223372036854775808]", "[-9223372036854775808]"},
      {"[12.5,12e1,12E1,-7]", "[12.5,120.0,120.0,-7]"},
      {"12", "12"},
      {"[1,-1]", "[1,-1]"},
  };
  for (const Case& c : cases) {
    const auto parsed = parse_json(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(write_json(*parsed), c.written) << c.text;
  }
  EXPECT_FALSE(parse_json("[12a]").has_value());
  EXPECT_FALSE(parse_json("[-12-]").has_value());
}

TEST(JsonValueStorage, MovesLeaveNullAndCopiesAreDeep) {
  JsonValue original = *parse_json(R"({"a":["a long string that lives on the heap",{"b":2}]})");
  const JsonValue copy = original;
  JsonValue moved = std::move(original);
  EXPECT_TRUE(original.is_null());  // NOLINT(bugprone-use-after-move): defined to be null
  EXPECT_EQ(moved, copy);
  moved = copy;
  EXPECT_EQ(write_json(moved), write_json(copy));
}

TEST(JsonValueStorage, AssignsACopyOfItsOwnMember) {
  JsonValue value = *parse_json(R"({"a":["a long string that lives on the heap",[1,2]]})");
  value = *find_member(value, "a");
  EXPECT_EQ(write_json(value), R"(["a long string that lives on the heap",[1,2]])");
}

// A parsed tree lives in one arena that its root frees. Values taken out of it by copying, and
// parsed roots changed afterwards, must own their blocks: the tree is gone before they are read.
TEST(JsonValueStorage, CopiesAndChangedRootsOutliveTheirTree) {
  const std::string text =
      R"({"list":["a string longer than fourteen bytes",[1,2],{"k":"another long string here"}],)"
      R"("name":"the name, also longer than fourteen bytes"})";
  JsonValue copied;
  JsonValue changed;
  JsonValue appended;
  {
    const JsonValue tree = *parse_json(text);
    copied = *find_member(tree, "list");
    changed = *parse_json(text);
    changed.insert("added", JsonValue::string("a long string added to a parsed root"));
    changed.insert("name", JsonValue::boolean(true));
    appended = *parse_json(R"(["first element, long enough to live in the arena"])");
    appended.push_back(JsonValue::array({copied}));
  }
  EXPECT_EQ(write_json(copied),
            R"(["a string longer than fourteen bytes",[1,2],{"k":"another long string here"}])");
  EXPECT_EQ(write_json(changed),
            R"({"added":"a long string added to a parsed root","list":["a string longer than )"
            R"(fourteen bytes",[1,2],{"k":"another long string here"}],"name":true})");
  EXPECT_EQ(write_json(appended),
            R"(["first element, long enough to live in the arena",[["a string longer than )"
            R"(fourteen bytes",[1,2],{"k":"another long string here"}]]])");
}

// Trees many times the size of their text take several arena chunks.
TEST(JsonValueStorage, TreesLargerThanTheirFirstChunkStayIntact) {
  std::string text = "[";
  for (int i = 0; i < 20000; ++i) text += i % 2 ? "7," : "[\"a string of twenty bytes\"],";
  text.back() = ']';
  const auto parsed = parse_json(text);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(write_json(*parsed), text);
}

// Output far beyond the writer's first room, appended after text already in the string.
TEST(WriteJson, GrowsPastItsFirstRoomAndKeepsThePrefix) {
  JsonValue array = JsonValue::array();
  for (int i = 0; i < 2000; ++i) array.push_back(JsonValue::string(std::string(7, 'a' + i % 26)));
  std::string out = "prefix:";
  write_json(array, out);
  ASSERT_EQ(out.size(), 7 + 2 + 2000 * 9 + 1999);
  EXPECT_EQ(out.substr(0, 19), "prefix:[\"aaaaaaa\",\"");
  EXPECT_EQ(out.back(), ']');
}

}  // namespace
}  // namespace ktarn::json
