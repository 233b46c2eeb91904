#include "json/json_value.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

#include "json/member_order.hpp"

namespace ktarn::json {

// Values are moved, never copied, on every path from the reader to the writer.
static_assert(std::is_nothrow_move_constructible_v<JsonValue>);
static_assert(std::is_nothrow_move_assignable_v<JsonValue>);

JsonValue JsonValue::boolean(bool value) {
  JsonValue v;
  v.data_ = value;
  return v;
}

JsonValue JsonValue::unsigned_integer(std::uint64_t value) {
  JsonValue v;
  v.data_ = value;
  return v;
}

JsonValue JsonValue::negative_integer(std::int64_t value) {
  JsonValue v;
  v.data_ = value;
  return v;
}

JsonValue JsonValue::number(double value) {
  JsonValue v;
  if (std::isfinite(value)) v.data_ = value;
  return v;
}

JsonValue JsonValue::string(std::string value) {
  JsonValue v;
  v.data_.emplace<std::string>(std::move(value));
  return v;
}

JsonValue JsonValue::array(JsonArray elements) {
  JsonValue v;
  v.data_.emplace<JsonArray>(std::move(elements));
  return v;
}

JsonValue JsonValue::object() {
  JsonValue v;
  v.data_.emplace<Object>();
  return v;
}

JsonValue JsonValue::object(JsonMembers members) {
  JsonValue v;
  if (in_name_order(members)) {
    v.data_.emplace<Object>(Object{std::move(members)});
  } else {
    std::vector<NameKey> keys;
    v.data_.emplace<Object>(Object{take_in_name_order(members, keys)});
  }
  return v;
}

Kind JsonValue::kind() const {
  switch (data_.index()) {
    case 0:
      return Kind::kNull;
    case 1:
      return Kind::kBoolean;
    case 2:
    case 3:
    case 4:
      return Kind::kNumber;
    case 5:
      return Kind::kString;
    case 6:
      return Kind::kArray;
    default:
      return Kind::kObject;
  }
}

std::optional<bool> JsonValue::as_boolean() const {
  if (const bool* b = std::get_if<bool>(&data_)) return *b;
  return std::nullopt;
}

std::optional<NumberForm> JsonValue::number_form() const {
  if (std::holds_alternative<std::uint64_t>(data_)) return NumberForm::kUnsigned;
  if (std::holds_alternative<std::int64_t>(data_)) return NumberForm::kNegative;
  if (std::holds_alternative<double>(data_)) return NumberForm::kDouble;
  return std::nullopt;
}

std::optional<std::uint64_t> JsonValue::as_unsigned() const {
  if (const auto* u = std::get_if<std::uint64_t>(&data_)) return *u;
  return std::nullopt;
}

std::optional<std::int64_t> JsonValue::as_negative() const {
  if (const auto* n = std::get_if<std::int64_t>(&data_)) return *n;
  return std::nullopt;
}

std::optional<double> JsonValue::as_double() const {
  if (const auto* d = std::get_if<double>(&data_)) return *d;
  return std::nullopt;
}

std::optional<std::int64_t> JsonValue::as_signed_integer() const {
  if (const auto* n = std::get_if<std::int64_t>(&data_)) return *n;
  const auto* u = std::get_if<std::uint64_t>(&data_);
  if (u != nullptr && *u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(*u);
  }
  return std::nullopt;
}

const std::string* JsonValue::as_string() const {
  return std::get_if<std::string>(&data_);
}

const JsonArray* JsonValue::as_array() const {
  return std::get_if<JsonArray>(&data_);
}

const JsonMembers* JsonValue::as_members() const {
  if (const auto* o = std::get_if<Object>(&data_)) return &o->members;
  return nullptr;
}

void JsonValue::push_back(JsonValue element) {
  std::get<JsonArray>(data_).push_back(std::move(element));
}

void JsonValue::insert(std::string name, JsonValue value) {
  JsonMembers& members = std::get<Object>(data_).members;
  auto at = std::lower_bound(members.begin(), members.end(), name,
                             [](const JsonMember& m, const std::string& n) { return m.first < n; });
  if (at != members.end() && at->first == name) {
    at->second = std::move(value);
  } else {
    members.emplace(at, std::move(name), std::move(value));
  }
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.data_.index() != b.data_.index()) return false;
  return std::visit(
      [&b](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.data_);
        if constexpr (std::is_same_v<T, double>) {
          return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
        } else if constexpr (std::is_same_v<T, JsonValue::Object>) {
          return x.members == y.members;
        } else {
          return x == y;
        }
      },
      a.data_);
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
