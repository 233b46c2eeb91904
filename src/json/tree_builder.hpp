// TreeBuilder: how the reader makes the values of one parsed tree. Every block goes into the
// tree's arena; the values built here belong to that arena until the root is built, which takes
// the arena over, so the finished tree is freed with its root and a failed parse frees all that
// was built with the builder.
//
// Until they are placed in their array or object, values are handled as raw 16-byte slots that
// own nothing, filled in where the reader keeps them.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string_view>

#include "json/json_value.hpp"
#include "json/tree_arena.hpp"

namespace ktarn::json {

class TreeBuilder {
 public:
  using Raw = JsonValue::Slot;

  explicit TreeBuilder(std::size_t size_hint) : arena_(size_hint) {}

  // The finished tree: a root built with root set, or a value that holds no block.
  static JsonValue adopt(const Raw& root) noexcept { return JsonValue(root); }

  // Precondition: name holds a string built here.
  static std::string_view name_of(const Raw& name) { return JsonValue::view_of(name); }
  // The first eight bytes of a name built here, zero-padded, as a big-endian number: one load,
  // since a string of fewer than eight bytes is held inside its slot, which is zero beyond it.
  static std::uint64_t leading_bytes(const Raw& name) {
    const char* bytes = name.scalar.tag == JsonValue::Tag::kShortString
                            ? name.short_string.bytes
                            : static_cast<const char*>(name.block.data);
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    return word;
  }

  // The scalars fill the slot given and return true, so that the reader can chain them.
  static bool null(Raw& slot) {
    slot.scalar = {JsonValue::Tag::kNull, 0};
    return true;
  }
  static bool boolean(Raw& slot, bool value) {
    slot.scalar = {JsonValue::Tag::kBoolean, value ? 1u : 0u};
    return true;
  }
  // Precondition: value holds no block.
  static bool scalar(Raw& slot, const JsonValue& value) {
    slot = value.slot_;
    return true;
  }

  // Each of these builds the root of the tree when root is true; nothing may be built after it.
  void string(Raw& slot, const char* bytes, std::size_t size, bool root) {
    if (size <= JsonValue::kShortStringMax) {
      std::memset(&slot, 0, sizeof slot);
      slot.short_string.tag = JsonValue::Tag::kShortString;
      slot.short_string.size = static_cast<std::uint8_t>(size);
      std::memcpy(slot.short_string.bytes, bytes, size);
      return;
    }
    void* data = allocate(size, root);
    std::memcpy(data, bytes, size);
    slot.block = JsonValue::block(JsonValue::Tag::kString, storage(root), size, data);
  }

  // The array goes into slot, which may be the slot of its first element.
  void array(std::span<const Raw> elements, bool root, Raw& slot) {
    JsonValue* data = nullptr;
    if (!elements.empty()) {
      data = static_cast<JsonValue*>(allocate(elements.size_bytes(), root));
      for (std::size_t i = 0; i < elements.size(); ++i) {
        ::new (static_cast<void*>(data + i)) JsonValue(elements[i]);
      }
    }
    slot.block =
        JsonValue::block(JsonValue::Tag::kArray, block_storage(data, root), elements.size(), data);
  }

  // The members named by order (indices into names and values, already in name order) make the
  // object, which goes into slot (possibly the slot of its first value); the others are dropped.
  void object(std::span<const Raw> names, std::span<const Raw> values,
              std::span<const std::uint32_t> order, bool root, Raw& slot) {
    JsonMember* data = nullptr;
    if (!order.empty()) {
      data = static_cast<JsonMember*>(allocate(order.size() * sizeof(JsonMember), root));
      for (std::size_t i = 0; i < order.size(); ++i) {
        ::new (static_cast<void*>(data + i))
            JsonMember(JsonValue(names[order[i]]), JsonValue(values[order[i]]));
      }
    }
    slot.block =
        JsonValue::block(JsonValue::Tag::kObject, block_storage(data, root), order.size(), data);
  }

 private:
  static JsonValue::Storage storage(bool root) {
    return root ? JsonValue::Storage::kTreeRoot : JsonValue::Storage::kInTree;
  }
  // An empty array or object has no block, and so nothing to free or share.
  static JsonValue::Storage block_storage(const void* data, bool root) {
    return data == nullptr ? JsonValue::Storage::kOwned : storage(root);
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
