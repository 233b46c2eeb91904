// Member order: every object holds its members sorted by name, compared as unsigned bytes with
// a prefix before any longer name, and holds each name once. This module finds that order for
// members gathered in arrival order, as the arrival indices of the members to keep; of repeated
// names the one that arrived last is kept, which is how a repeated name in a text behaves.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "json/tree_builder.hpp"

namespace ktarn::json {

// The byte order of names: the standard comparison of char sequences compares them as unsigned
// bytes.
inline bool name_less(std::string_view a, std::string_view b) {
  return a < b;
}

// What the sort looks at first: the name's leading eight bytes as one number, and where it came
// from, which also keeps equal names in arrival order. Comparing that number before the names'
// bytes is the one sort trick that paid its way (bench/README.md, "Speed tricks");
// JsonObject.OrdersNamesByEveryByte (shared prefixes, NUL bytes that look like padding,
// high bytes) and JsonObject.EveryArrivalOrderGivesTheSameObject prove the order the names' own.
struct NameKey {
  std::uint64_t prefix;
  std::uint32_t index;
};

// Finds member orders, keeping its buffers from one object to the next; objects of up to
// kLocal members need no allocation.
class MemberOrder {
 public:
  // The arrival indices of the members to keep, in name order, for the member names in arrival
  // order; valid until the next call.
  std::span<const std::uint32_t> of(std::span<const TreeBuilder::Raw> names);

 private:
  static constexpr std::size_t kLocal = 32;
  std::span<NameKey> keys(std::size_t count);
  std::span<std::uint32_t> indices(std::size_t count);

  std::array<NameKey, kLocal> local_keys_;
  std::array<std::uint32_t, kLocal> local_indices_;
  std::vector<NameKey> keys_;
  std::vector<std::uint32_t> indices_;
};

}  // namespace ktarn::json
