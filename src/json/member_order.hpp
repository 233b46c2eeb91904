// Member order: every object holds its members sorted by name, compared as unsigned bytes with
// a prefix before any longer name, and holds each name once. This module puts members gathered
// in arrival order into that form, moving each member once; of repeated names the one that
// arrived last is kept, which is how a repeated name in a text or a repeated insert behaves.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "json/json_value.hpp"

namespace ktarn::json {

// The byte order of names.
bool name_less(std::string_view a, std::string_view b);

// True when the names ascend strictly, that is, are already sorted and unique.
bool in_name_order(std::span<const JsonMember> members);

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

// Moves the members out of arrival into a new vector in name order, keeping the last of repeated
// names. keys (for large objects) is reused from call to call, and so is memo unless it is null.
JsonMembers take_in_name_order(std::span<JsonMember> arrival, std::vector<NameKey>& keys,
                               RememberedOrder* memo);

}  // namespace ktarn::json
