// The value model's guarantees: member order and replacement, the integer views, equality and
// member lookup.
#include "json/json_value.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "json/parse_json.hpp"
#include "json/write_json.hpp"

namespace ktarn::json {
namespace {

TEST(JsonObject, KeepsNamesUniqueInByteOrder) {
  JsonValue object = JsonValue::object();
  for (const char* name : {"b", "\xC3\xA9", "B", "aa", "a", "", "b"}) {
    object.insert(name, JsonValue::unsigned_integer(object.as_members()->size()));
  }
  EXPECT_EQ(write_json(object), "{\"\":5,\"B\":2,\"a\":4,\"aa\":3,\"b\":6,\"\xC3\xA9\":1}");
}

TEST(JsonObject, ParsedRepeatedNamesLastWins) {
  const auto object = parse_json(R"({"z":true,"a":null,"z":"x","a":1,"m":[]})");
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ(write_json(*object), R"({"a":1,"m":[],"z":"x"})");
}

// Names are ordered by their first eight bytes at once and by the rest only on a tie; these
// cases sit on that boundary: shared prefixes, NUL bytes that look like padding, high bytes.
// Both the reader's sort and insert must agree on it.
TEST(JsonObject, OrdersNamesByEveryByte) {
  const std::vector<std::string> names = {"",          std::string("\0", 1),
                                          "a",         std::string("a\0", 2),
                                          "abcdefgh",  std::string("abcdefgh\0", 9),
                                          "abcdefghi", "abcdefgi",
                                          "abcdefh",   "b",
                                          "\x7F",      "\xC3\xA9",
                                          "\xFF\x01",  "\xFF\x01\x01"};
  JsonValue inserted = JsonValue::object();
  std::string text = "{";
  const auto add = [&](const std::string& name, const JsonValue& value) {
    inserted.insert(name, value);
    text += write_json(JsonValue::string(name)) + ":" + write_json(value) + ",";
  };
  for (auto it = names.rbegin(); it != names.rend(); ++it) add(*it, JsonValue::string("first"));
  for (std::size_t i = 0; i < names.size(); i += 3) add(names[i], JsonValue::unsigned_integer(i));
  text.back() = '}';
  const auto parsed = parse_json(text);
  ASSERT_TRUE(parsed.has_value()) << text;
  for (const JsonValue* object : {&*parsed, static_cast<const JsonValue*>(&inserted)}) {
    const auto members = *object->as_members();
    ASSERT_EQ(members.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(members[i].name(), names[i]) << i;
      const JsonValue expected =
          i % 3 == 0 ? JsonValue::unsigned_integer(i) : JsonValue::string("first");
      EXPECT_EQ(members[i].value(), expected) << i;
    }
  }
}

// Names are compared by their leading bytes first and in full only when two share them; every
// arrival order must give the same object, the repeated name's last value included, whether the
// object stands alone or is one record among many in an array.
TEST(JsonObject, EveryArrivalOrderGivesTheSameObject) {
  const std::vector<std::vector<std::string>> name_sets = {
      {"id", "type", "payload", "nonce", "a"},
      {"abcdefgh2", "abcdefgh1", "abcdefgh", "b", "a"},
      {"x", "y", "x", "a", "b"},
  };
  for (std::vector<std::string> names : name_sets) {
    std::sort(names.begin(), names.end());
    std::string records = "[";
    do {
      std::string text = "{";
      JsonValue inserted = JsonValue::object();
      for (std::size_t i = 0; i < names.size(); ++i) {
        text += "\"" + names[i] + "\":" + std::to_string(i) + ",";
        inserted.insert(names[i], JsonValue::unsigned_integer(i));
      }
      text.back() = '}';
      records += text + ",";
      const auto parsed = parse_json(text);
      ASSERT_TRUE(parsed.has_value()) << text;
      EXPECT_EQ(write_json(*parsed), write_json(inserted)) << text;
    } while (std::next_permutation(names.begin(), names.end()));
    records.back() = ']';
    const auto parsed = parse_json(records);
    ASSERT_TRUE(parsed.has_value());
    std::size_t i = 0;
    do {
      JsonValue inserted = JsonValue::object();
      for (std::size_t k = 0; k < names.size(); ++k) {
        inserted.insert(names[k], JsonValue::unsigned_integer(k));
      }
      EXPECT_EQ((*parsed->as_array())[i++], inserted) << i;
    } while (std::next_permutation(names.begin(), names.end()));
  }
}

TEST(JsonObject, ParsedLargeObjectKeepsLastOfEachName) {
  std::string text = "{";
  for (int round = 0; round < 2; ++round) {
    for (int i = 99; i >= 0; --i) {
      text += "\"member" + std::to_string(i) + "\":" + std::to_string(round * 1000 + i) + ",";
    }
  }
  text.back() = '}';
  const auto result = parse_json(text);
  ASSERT_TRUE(result.has_value());
  const auto members = *result->as_members();
  ASSERT_EQ(members.size(), 100u);
  EXPECT_EQ(members.front().name(), "member0");
  EXPECT_EQ(members.back().name(), "member99");
  EXPECT_TRUE(std::is_sorted(members.begin(), members.end(),
                             [](const auto& a, const auto& b) { return a.name() < b.name(); }));
  for (const JsonMember& member : members) {
    EXPECT_EQ(member.value().as_unsigned(), 1000 + std::stoul(std::string(member.name().substr(6))))
        << member.name();
  }
}

TEST(JsonNumber, SignedViewCoversBothIntegerForms) {
  EXPECT_EQ(JsonValue::unsigned_integer(9223372036854775807u).as_signed_integer(),
            9223372036854775807);
  EXPECT_EQ(JsonValue::unsigned_integer(9223372036854775808u).as_signed_integer(), std::nullopt);
  EXPECT_EQ(JsonValue::negative_integer(-5).as_signed_integer(), -5);
  EXPECT_EQ(JsonValue::number(1.0).as_signed_integer(), std::nullopt);
  EXPECT_EQ(JsonValue::number(1.0).as_unsigned(), std::nullopt);
  EXPECT_EQ(JsonValue::unsigned_integer(1).as_double(), std::nullopt);
}

TEST(JsonEquality, ComparesFormsAndBitsExactly) {
  EXPECT_NE(JsonValue::unsigned_integer(1), JsonValue::number(1.0));
  EXPECT_NE(JsonValue::number(0.0), JsonValue::number(-0.0));
  EXPECT_EQ(JsonValue::number(0.5), JsonValue::number(0.5));
  JsonValue a = JsonValue::object();
  a.insert("k", JsonValue::array({JsonValue::string("v"), JsonValue()}));
  JsonValue b = a;
  EXPECT_EQ(a, b);
  b.insert("k", JsonValue::array({JsonValue::string("v")}));
  EXPECT_NE(a, b);
  EXPECT_NE(JsonValue::object(), JsonValue::array());
}

TEST(FindMember, MatchesExactNameBytesInObjectsOnly) {
  JsonValue object = JsonValue::object();
  object.insert("id", JsonValue::string("1"));
  object.insert("type", JsonValue::string("sign"));
  ASSERT_NE(find_member(object, "type"), nullptr);
  EXPECT_EQ(*find_member(object, "type")->as_string(), "sign");
  for (const char* absent : {"Type", "type ", "typ", "", "idx"}) {
    EXPECT_EQ(find_member(object, absent), nullptr) << absent;
  }
  EXPECT_EQ(find_member(JsonValue::array({object}), "id"), nullptr);
  EXPECT_EQ(find_member(JsonValue::string("id"), "id"), nullptr);
  EXPECT_EQ(find_member(JsonValue(), "id"), nullptr);
}

}  // namespace
}  // namespace ktarn::json
