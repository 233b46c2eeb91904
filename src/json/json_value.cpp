#include "json/json_value.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#include "json/member_order.hpp"
#include "json/tree_arena.hpp"

namespace ktarn::json {

// Values are moved, never copied, on every path from the reader to the writer.
static_assert(std::is_nothrow_move_constructible_v<JsonValue>);
static_assert(std::is_nothrow_move_assignable_v<JsonValue>);

namespace {

template <class T>
T* allocate_owned(std::size_t count) {
  return static_cast<T*>(::operator new(count * sizeof(T)));
}

}  // namespace

// Owned arrays and objects grow by doubling, so their capacity follows from their size.
std::size_t JsonValue::owned_capacity(std::size_t size) {
  return size == 0 ? 0 : std::max<std::size_t>(4, std::bit_ceil(size));
}

JsonValue::JsonValue(const JsonValue& other) : slot_(other.slot_) {
  if (!other.has_block()) return;
  slot_.scalar = {};
  JsonValue copy = copy_block(other);
  slot_ = copy.slot_;
  copy.slot_.scalar = {};
}

// Fills a value of its own, so that a copy failing part way frees what it made.
JsonValue JsonValue::copy_block(const JsonValue& other) {
  const std::size_t count = other.size();
  JsonValue copy;
  copy.slot_.block = block(other.tag(), Storage::kOwned, 0, nullptr);
  if (other.tag() == Tag::kString) {
    copy.slot_.block.data = allocate_owned<char>(count);
    std::memcpy(copy.slot_.block.data, other.slot_.block.data, count);
    copy.set_size(count);
  } else if (count == 0) {
    // An empty array or object has no block.
  } else if (other.tag() == Tag::kArray) {
    copy.slot_.block.data = allocate_owned<JsonValue>(owned_capacity(count));
    for (const JsonValue& element : std::span(other.elements(), count)) {
      std::construct_at(copy.elements() + copy.size(), element);
      copy.set_size(copy.size() + 1);
    }
  } else {
    copy.slot_.block.data = allocate_owned<JsonMember>(owned_capacity(count));
    for (const JsonMember& member : std::span(other.members(), count)) {
      std::construct_at(copy.members() + copy.size(), member);
      copy.set_size(copy.size() + 1);
    }
  }
  return copy;
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

void JsonValue::release() noexcept {
  switch (slot_.block.storage) {
    case Storage::kInTree:
      return;
    case Storage::kTreeRoot:
      TreeArena::free_chunks(static_cast<void**>(slot_.block.data)[-1]);
      return;
    case Storage::kOwned:
      if (tag() == Tag::kArray) std::destroy_n(elements(), size());
      if (tag() == Tag::kObject) std::destroy_n(members(), size());
      ::operator delete(slot_.block.data);
      return;
  }
}

JsonValue JsonValue::number(double value) {
  if (!std::isfinite(value)) return JsonValue();
  return scalar(Tag::kDouble, std::bit_cast<std::uint64_t>(value));
}

JsonValue JsonValue::string(std::string_view value) {
  JsonValue v;
  if (value.size() <= kShortStringMax) {
    v.slot_.short_string.tag = Tag::kShortString;
    v.slot_.short_string.size = static_cast<std::uint8_t>(value.size());
    std::memcpy(v.slot_.short_string.bytes, value.data(), value.size());
  } else {
    char* data = allocate_owned<char>(value.size());
    std::memcpy(data, value.data(), value.size());
    v.slot_.block = block(Tag::kString, Storage::kOwned, value.size(), data);
  }
  return v;
}

JsonValue JsonValue::array(std::initializer_list<JsonValue> elements) {
  JsonValue v;
  v.slot_.block = block(Tag::kArray, Storage::kOwned, 0, nullptr);
  for (const JsonValue& element : elements) v.push_back(element);
  return v;
}

JsonValue JsonValue::object() {
  JsonValue v;
  v.slot_.block = block(Tag::kObject, Storage::kOwned, 0, nullptr);
  return v;
}

std::optional<std::int64_t> JsonValue::as_signed_integer() const {
  if (tag() == Tag::kNegative) return static_cast<std::int64_t>(slot_.scalar.bits);
  if (tag() == Tag::kUnsigned &&
      slot_.scalar.bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(slot_.scalar.bits);
  }
  return std::nullopt;
}

// A parsed tree shares its arena between all its values; changing one of them would tie the
// arena's lifetime to blocks it does not hold, so the value becomes a copy with blocks of its own.
void JsonValue::own_blocks() {
  if (slot_.block.storage != Storage::kOwned) *this = JsonValue(*this);
}

// Room for one more element or member at the end, moving the others into a block twice as large
// when the block is full.
void JsonValue::make_room() {
  own_blocks();
  const std::size_t count = size();
  if (count < owned_capacity(count)) return;
  const std::size_t capacity = owned_capacity(count + 1);
  if (tag() == Tag::kArray) {
    JsonValue* grown = allocate_owned<JsonValue>(capacity);
    std::uninitialized_move_n(elements(), count, grown);
    std::destroy_n(elements(), count);
    ::operator delete(slot_.block.data);
    slot_.block.data = grown;
  } else {
    JsonMember* grown = allocate_owned<JsonMember>(capacity);
    std::uninitialized_move_n(members(), count, grown);
    std::destroy_n(members(), count);
    ::operator delete(slot_.block.data);
    slot_.block.data = grown;
  }
}

void JsonValue::push_back(JsonValue element) {
  make_room();
  std::construct_at(elements() + size(), std::move(element));
  set_size(size() + 1);
}

void JsonValue::insert(std::string_view name, JsonValue value) {
  own_blocks();
  const std::span<JsonMember> all(members(), size());
  auto at = std::lower_bound(
      all.begin(), all.end(), name,
      [](const JsonMember& m, std::string_view n) { return name_less(m.name(), n); });
  if (at != all.end() && at->name() == name) {
    at->value_ = std::move(value);
    return;
  }
  const auto index = static_cast<std::size_t>(at - all.begin());
  JsonMember member(name, std::move(value));
  make_room();
  JsonMember* const first = members();
  const std::size_t count = size();
  // Shift the tail up by one, last first, into the room just made.
  if (index < count) {
    std::construct_at(first + count, std::move(first[count - 1]));
    std::move_backward(first + index, first + count - 1, first + count);
    first[index] = std::move(member);
  } else {
    std::construct_at(first + count, std::move(member));
  }
  set_size(count + 1);
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::kString:
      return a.as_string() == b.as_string();
    case Kind::kArray:
      return std::ranges::equal(*a.as_array(), *b.as_array());
    case Kind::kObject:
      return std::ranges::equal(*a.as_members(), *b.as_members(),
                                [](const JsonMember& m, const JsonMember& n) {
                                  return m.name() == n.name() && m.value() == n.value();
                                });
    case Kind::kNull:
      return true;
    default:
      // Same tag, and doubles by their bits, so -0.0 and 0.0 differ.
      return a.tag() == b.tag() && a.slot_.scalar.bits == b.slot_.scalar.bits;
  }
}

const JsonValue* find_member(const JsonValue& value, std::string_view name) {
  const auto members = value.as_members();
  if (!members) return nullptr;
  const auto at = std::lower_bound(
      members->begin(), members->end(), name,
      [](const JsonMember& m, std::string_view n) { return name_less(m.name(), n); });
  if (at == members->end() || at->name() != name) return nullptr;
  return &at->value();
}

}  // namespace ktarn::json
