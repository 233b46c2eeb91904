// JsonValue: the one value tree behind every request, response, bridge reply and signed payload.
// Six kinds; numbers keep one of three forms (unsigned 64-bit, negative signed 64-bit, finite
// double) so that integers travel exactly; strings are always valid UTF-8 and may hold NUL;
// objects keep their member names unique and in ascending byte order, which is the order every
// reader iterates and the writer emits, so the canonical bytes of a payload never depend on how
// its members arrived.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
  JsonValue() noexcept : bits_(0) {}  // null
  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

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
  // Precondition: the names ascend strictly in byte order (the reader has ordered them already).
  static JsonValue object_in_name_order(JsonMembers members);

  Kind kind() const;
  bool is_null() const { return tag_ == Tag::kNull; }

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
  // Scalars share one 64-bit slot (a double by its bits), so moving or dropping one is a plain
  // copy; only the three owning kinds, which come last, need their own constructors.
  enum class Tag : unsigned char {
    kNull,
    kBoolean,
    kUnsigned,
    kNegative,
    kDouble,
    kString,
    kArray,
    kObject
  };
  static JsonValue scalar(Tag tag, std::uint64_t bits);
  bool owns() const { return tag_ >= Tag::kString; }
  void take_owned(JsonValue&& other) noexcept;
  void copy_owned(const JsonValue& other);
  void destroy_owned() noexcept;

  union {
    std::uint64_t bits_;
    std::string string_;
    JsonArray array_;
    JsonMembers members_;
  };
  Tag tag_ = Tag::kNull;
};

// The hot members are defined here so that the reader, the writer and every caller inline them.
// Precondition: tag_ is already other's tag and names an owning kind. The source is left null,
// so that dropping it later costs nothing.
inline void JsonValue::take_owned(JsonValue&& other) noexcept {
  switch (tag_) {
    case Tag::kString:
      std::construct_at(&string_, std::move(other.string_));
      break;
    case Tag::kArray:
      std::construct_at(&array_, std::move(other.array_));
      break;
    default:
      std::construct_at(&members_, std::move(other.members_));
      break;
  }
  other.destroy_owned();
  other.tag_ = Tag::kNull;
  other.bits_ = 0;
}

inline void JsonValue::destroy_owned() noexcept {
  switch (tag_) {
    case Tag::kString:
      std::destroy_at(&string_);
      break;
    case Tag::kArray:
      std::destroy_at(&array_);
      break;
    default:
      std::destroy_at(&members_);
      break;
  }
}

inline JsonValue::JsonValue(JsonValue&& other) noexcept : tag_(other.tag_) {
  if (owns()) {
    take_owned(std::move(other));
  } else {
    bits_ = other.bits_;
  }
}

inline JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    // Taken out first: other may live inside the tree this value is about to drop.
    JsonValue taken(std::move(other));
    if (owns()) destroy_owned();
    tag_ = taken.tag_;
    if (owns()) {
      take_owned(std::move(taken));
    } else {
      bits_ = taken.bits_;
    }
  }
  return *this;
}

inline JsonValue::~JsonValue() {
  if (owns()) destroy_owned();
}

inline JsonValue JsonValue::scalar(Tag tag, std::uint64_t bits) {
  JsonValue v;
  v.tag_ = tag;
  v.bits_ = bits;
  return v;
}

inline JsonValue JsonValue::boolean(bool value) {
  return scalar(Tag::kBoolean, value ? 1 : 0);
}

inline JsonValue JsonValue::unsigned_integer(std::uint64_t value) {
  return scalar(Tag::kUnsigned, value);
}

inline JsonValue JsonValue::negative_integer(std::int64_t value) {
  return scalar(Tag::kNegative, static_cast<std::uint64_t>(value));
}

inline JsonValue JsonValue::string(std::string value) {
  JsonValue v;
  std::construct_at(&v.string_, std::move(value));
  v.tag_ = Tag::kString;
  return v;
}

inline JsonValue JsonValue::array(JsonArray elements) {
  JsonValue v;
  std::construct_at(&v.array_, std::move(elements));
  v.tag_ = Tag::kArray;
  return v;
}

inline JsonValue JsonValue::object_in_name_order(JsonMembers members) {
  JsonValue v;
  std::construct_at(&v.members_, std::move(members));
  v.tag_ = Tag::kObject;
  return v;
}

inline Kind JsonValue::kind() const {
  constexpr Kind kKinds[] = {Kind::kNull,   Kind::kBoolean, Kind::kNumber, Kind::kNumber,
                             Kind::kNumber, Kind::kString,  Kind::kArray,  Kind::kObject};
  return kKinds[static_cast<int>(tag_)];
}

inline std::optional<bool> JsonValue::as_boolean() const {
  if (tag_ == Tag::kBoolean) return bits_ != 0;
  return std::nullopt;
}

inline std::optional<NumberForm> JsonValue::number_form() const {
  switch (tag_) {
    case Tag::kUnsigned:
      return NumberForm::kUnsigned;
    case Tag::kNegative:
      return NumberForm::kNegative;
    case Tag::kDouble:
      return NumberForm::kDouble;
    default:
      return std::nullopt;
  }
}

inline std::optional<std::uint64_t> JsonValue::as_unsigned() const {
  if (tag_ == Tag::kUnsigned) return bits_;
  return std::nullopt;
}

inline std::optional<std::int64_t> JsonValue::as_negative() const {
  if (tag_ == Tag::kNegative) return static_cast<std::int64_t>(bits_);
  return std::nullopt;
}

inline std::optional<double> JsonValue::as_double() const {
  if (tag_ == Tag::kDouble) return std::bit_cast<double>(bits_);
  return std::nullopt;
}

inline const std::string* JsonValue::as_string() const {
  return tag_ == Tag::kString ? &string_ : nullptr;
}

inline const JsonArray* JsonValue::as_array() const {
  return tag_ == Tag::kArray ? &array_ : nullptr;
}

inline const JsonMembers* JsonValue::as_members() const {
  return tag_ == Tag::kObject ? &members_ : nullptr;
}

// The member with exactly that name (byte for byte), or nullptr when value is not an object or
// has no such member.
const JsonValue* find_member(const JsonValue& value, std::string_view name);

}  // namespace ktarn::json
