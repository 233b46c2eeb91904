// TreeBuilder: how the reader makes the values of one parsed tree. Every block goes into the
// tree's arena; the values built here belong to that arena until the root is built, which takes
// the arena over, so the finished tree is freed with its root and a failed parse frees all that
// was built with the builder.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "json/json_value.hpp"
#include "json/tree_arena.hpp"

namespace ktarn::json {

class TreeBuilder {
 public:
  explicit TreeBuilder(std::size_t size_hint) : arena_(size_hint) {}

  // Each of these builds the root of the tree when root is true; nothing may be built after it.
  JsonValue string(const char* bytes, std::size_t size, bool root) {
    JsonValue v;
    if (size <= JsonValue::kShortStringMax) {
      v.slot_.short_string.tag = JsonValue::Tag::kShortString;
      v.slot_.short_string.size = static_cast<std::uint8_t>(size);
      std::memcpy(v.slot_.short_string.bytes, bytes, size);
      return v;
    }
    void* data = allocate(size, root);
    std::memcpy(data, bytes, size);
    v.slot_.block = JsonValue::block(JsonValue::Tag::kString, storage(root), size, data);
    return v;
  }

  // Moves the elements into the array.
  JsonValue array(std::span<JsonValue> elements, bool root) {
    if (elements.empty()) return JsonValue::array();
    auto* data = static_cast<JsonValue*>(allocate(elements.size_bytes(), root));
    for (std::size_t i = 0; i < elements.size(); ++i) {
      std::construct_at(data + i, std::move(elements[i]));
    }
    JsonValue v;
    v.slot_.block = JsonValue::block(JsonValue::Tag::kArray, storage(root), elements.size(), data);
    return v;
  }

  // Moves the members named by order (indices into arrival, already in name order) into the
  // object; the others stay behind.
  JsonValue object(std::span<JsonMember> arrival, std::span<const std::uint32_t> order, bool root) {
    if (order.empty()) return JsonValue::object();
    auto* data = static_cast<JsonMember*>(allocate(order.size() * sizeof(JsonMember), root));
    for (std::size_t i = 0; i < order.size(); ++i) {
      std::construct_at(data + i, std::move(arrival[order[i]]));
    }
    JsonValue v;
    v.slot_.block = JsonValue::block(JsonValue::Tag::kObject, storage(root), order.size(), data);
    return v;
  }

  // Precondition: name was built by string().
  static JsonMember member(JsonValue&& name, JsonValue&& value) {
    return JsonMember(std::move(name), std::move(value));
  }

 private:
  static JsonValue::Storage storage(bool root) {
    return root ? JsonValue::Storage::kTreeRoot : JsonValue::Storage::kInTree;
  }

  // The root's block is the last one and carries, just before it, the handle of the arena.
  void* allocate(std::size_t bytes, bool root) {
    if (!root) return arena_.allocate(bytes);
    auto* const prefix = static_cast<void**>(arena_.allocate(sizeof(void*) + bytes));
    *prefix = arena_.hand_over();
    return prefix + 1;
  }

  TreeArena arena_;
};

}  // namespace ktarn::json
