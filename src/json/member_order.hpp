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

// The byte order of names.
inline bool name_less(std::string_view a, std::string_view b) {
  // Most names already differ in their first byte; spare those the library call.
  if (!a.empty() && !b.empty() && a.front() != b.front()) {
    return static_cast<unsigned char>(a.front()) < static_cast<unsigned char>(b.front());
  }
  return a < b;
}

// What the sort looks at first: the name's leading eight bytes as one number, and where it came
// from, which also keeps equal names in arrival order.
struct NameKey {
  std::uint64_t prefix;
  std::uint32_t index;
};

// The order found for an object whose names all differed in their leading eight bytes. The
// records of one array usually repeat the same names in the same arrival order, so their order is
// found once and reused for as long as the leading bytes match, which then decide the order alone.
// Only objects of up to kMembers members are remembered, in place, so remembering allocates
// nothing.
struct RememberedOrder {
  static constexpr std::size_t kMembers = 32;
  std::size_t count = 0;                         // members of the remembered object; 0: none
  std::array<std::uint64_t, kMembers> prefixes;  // in arrival order
  std::array<std::uint32_t, kMembers> order;     // arrival indices in name order
};

// Finds member orders, keeping its buffers from one object to the next; objects of up to
// kLocal members need no allocation.
class MemberOrder {
 public:
  // The arrival indices of the members to keep, in name order, for the member names in arrival
  // order; valid until the next call.
  // memo, unless null, is consulted and updated.
  std::span<const std::uint32_t> of(std::span<const TreeBuilder::Raw> names, RememberedOrder* memo);

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
