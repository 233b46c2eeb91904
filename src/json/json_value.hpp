// JsonValue: the one value tree behind every request, response, bridge reply and signed payload.
// Six kinds; numbers keep one of three forms (unsigned 64-bit, negative signed 64-bit, finite
// double) so that integers travel exactly; strings are always valid UTF-8 and may hold NUL;
// objects keep their member names unique and in ascending byte order, which is the order every
// reader iterates and the writer emits, so the canonical bytes of a payload never depend on how
// its members arrived.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ktarn::json {

class JsonValue;

enum class Kind { kNull, kBoolean, kNumber, kString, kArray, kObject };
enum class NumberForm { kUnsigned, kNegative, kDouble };

using JsonArray = std::vector<JsonValue>;
using JsonMember = std::pair<std::string, JsonValue>;
// Members sorted by name bytes (unsigned), names unique.
using JsonMembers = std::vector<JsonMember>;

class JsonValue {
 public:
  JsonValue() = default;  // null

  static JsonValue boolean(bool value);
  static JsonValue unsigned_integer(std::uint64_t value);
  // Precondition: value < 0; the negative form never holds zero or a positive value.
  static JsonValue negative_integer(std::int64_t value);
  // NaN and the infinities cannot be held: they give null.
  static JsonValue number(double value);
  // Precondition: value is valid UTF-8.
  static JsonValue string(std::string value);
  static JsonValue array(JsonArray elements = {});
  static JsonValue object();
  // An object from members in any order; of repeated names the one that comes last wins.
  static JsonValue object(JsonMembers members);

  Kind kind() const;
  bool is_null() const { return kind() == Kind::kNull; }

  std::optional<bool> as_boolean() const;
  std::optional<NumberForm> number_form() const;
  std::optional<std::uint64_t> as_unsigned() const;  // unsigned form only
  std::optional<std::int64_t> as_negative() const;   // negative form only
  std::optional<double> as_double() const;           // double form only
  // The signed 64-bit view: the unsigned form up to 2^63-1 and every negative value; never a
  // double, not even 1.0.
  std::optional<std::int64_t> as_signed_integer() const;
  const std::string* as_string() const;   // nullptr unless a string
  const JsonArray* as_array() const;      // nullptr unless an array
  const JsonMembers* as_members() const;  // nullptr unless an object

  // Arrays: append. Precondition: kind() == kArray.
  void push_back(JsonValue element);
  // Objects: insert, replacing the value of a name already present. Precondition: kObject.
  void insert(std::string name, JsonValue value);

  // Exact structural equality (doubles compared by value, -0.0 == 0.0 is false by bits).
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  struct Object {
    JsonMembers members;
  };
  std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray,
               Object>
      data_;
};

// The readers are defined here so that the writer and every caller can inline them.
inline Kind JsonValue::kind() const {
  constexpr Kind kKinds[] = {Kind::kNull,   Kind::kBoolean, Kind::kNumber, Kind::kNumber,
                             Kind::kNumber, Kind::kString,  Kind::kArray,  Kind::kObject};
  return kKinds[data_.index()];
}

inline std::optional<bool> JsonValue::as_boolean() const {
  if (const bool* b = std::get_if<bool>(&data_)) return *b;
  return std::nullopt;
}

inline std::optional<NumberForm> JsonValue::number_form() const {
  switch (data_.index()) {
    case 2:
      return NumberForm::kUnsigned;
    case 3:
      return NumberForm::kNegative;
    case 4:
      return NumberForm::kDouble;
    default:
      return std::nullopt;
  }
}

inline std::optional<std::uint64_t> JsonValue::as_unsigned() const {
  if (const auto* u = std::get_if<std::uint64_t>(&data_)) return *u;
  return std::nullopt;
}

inline std::optional<std::int64_t> JsonValue::as_negative() const {
  if (const auto* n = std::get_if<std::int64_t>(&data_)) return *n;
  return std::nullopt;
}

inline std::optional<double> JsonValue::as_double() const {
  if (const auto* d = std::get_if<double>(&data_)) return *d;
  return std::nullopt;
}

inline const std::string* JsonValue::as_string() const {
  return std::get_if<std::string>(&data_);
}

inline const JsonArray* JsonValue::as_array() const {
  return std::get_if<JsonArray>(&data_);
}

inline const JsonMembers* JsonValue::as_members() const {
  if (const auto* o = std::get_if<Object>(&data_)) return &o->members;
  return nullptr;
}

// The member with exactly that name (byte for byte), or nullptr when value is not an object or
// has no such member.
const JsonValue* find_member(const JsonValue& value, std::string_view name);

}  // namespace ktarn::json
