// The value model's guarantees: member order and replacement, the integer views, equality and
// member lookup.
#include "json/json_value.hpp"

#include <gtest/gtest.h>

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

TEST(JsonObject, BuiltFromMembersLastRepeatWins) {
  const JsonValue object = JsonValue::object({{"z", JsonValue::boolean(true)},
                                              {"a", JsonValue()},
                                              {"z", JsonValue::string("x")},
                                              {"a", JsonValue::unsigned_integer(1)},
                                              {"m", JsonValue::array()}});
  EXPECT_EQ(write_json(object), R"({"a":1,"m":[],"z":"x"})");
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
