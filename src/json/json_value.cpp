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

std::optional<std::int64_t> JsonValue::as_signed_integer() const {
  if (const auto* n = std::get_if<std::int64_t>(&data_)) return *n;
  const auto* u = std::get_if<std::uint64_t>(&data_);
  if (u != nullptr && *u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(*u);
  }
  return std::nullopt;
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
