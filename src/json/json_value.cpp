#include "json/json_value.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "json/member_order.hpp"

namespace ktarn::json {

// Values are moved, never copied, on every path from the reader to the writer.
static_assert(std::is_nothrow_move_constructible_v<JsonValue>);
static_assert(std::is_nothrow_move_assignable_v<JsonValue>);

JsonValue::JsonValue(const JsonValue& other) : tag_(other.tag_) {
  if (owns()) {
    copy_owned(other);
  } else {
    bits_ = other.bits_;
  }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

void JsonValue::copy_owned(const JsonValue& other) {
  switch (tag_) {
    case Tag::kString:
      std::construct_at(&string_, other.string_);
      break;
    case Tag::kArray:
      std::construct_at(&array_, other.array_);
      break;
    default:
      std::construct_at(&members_, other.members_);
      break;
  }
}

JsonValue JsonValue::number(double value) {
  if (!std::isfinite(value)) return JsonValue();
  return scalar(Tag::kDouble, std::bit_cast<std::uint64_t>(value));
}

JsonValue JsonValue::object() {
  return object_in_name_order({});
}

JsonValue JsonValue::object(JsonMembers members) {
  if (in_name_order(members)) return object_in_name_order(std::move(members));
  std::vector<NameKey> keys;
  return object_in_name_order(take_in_name_order(members, keys, nullptr));
}

std::optional<std::int64_t> JsonValue::as_signed_integer() const {
  if (tag_ == Tag::kNegative) return static_cast<std::int64_t>(bits_);
  if (tag_ == Tag::kUnsigned &&
      bits_ <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(bits_);
  }
  return std::nullopt;
}

void JsonValue::push_back(JsonValue element) {
  array_.push_back(std::move(element));
}

void JsonValue::insert(std::string name, JsonValue value) {
  auto at = std::lower_bound(members_.begin(), members_.end(), name,
                             [](const JsonMember& m, const std::string& n) { return m.first < n; });
  if (at != members_.end() && at->first == name) {
    at->second = std::move(value);
  } else {
    members_.emplace(at, std::move(name), std::move(value));
  }
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.tag_ != b.tag_) return false;
  switch (a.tag_) {
    case JsonValue::Tag::kString:
      return a.string_ == b.string_;
    case JsonValue::Tag::kArray:
      return a.array_ == b.array_;
    case JsonValue::Tag::kObject:
      return a.members_ == b.members_;
    default:
      // Doubles by their bits, so -0.0 and 0.0 differ.
      return a.bits_ == b.bits_;
  }
}

const JsonValue* find_member(const JsonValue& value, std::string_view name) {
  const JsonMembers* members = value.as_members();
  if (members == nullptr) return nullptr;
  auto at = std::lower_bound(
      members->begin(), members->end(), name,
      [](const JsonMember& m, std::string_view n) { return std::string_view(m.first) < n; });
  if (at == members->end() || at->first != name) return nullptr;
  return &at->second;
}

}  // namespace ktarn::json
