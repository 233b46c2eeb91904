// Member order: every object holds its members sorted by name, compared as unsigned bytes with
// a prefix before any longer name, and holds each name once. This module puts members gathered
// in arrival order into that form, moving each member once; of repeated names the one that
// arrived last is kept, which is how a repeated name in a text or a repeated insert behaves.
#pragma once

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

// Moves the members out of arrival into a new vector in name order, keeping the last of repeated
// names. keys is scratch space, reused from call to call.
JsonMembers take_in_name_order(std::span<JsonMember> arrival, std::vector<NameKey>& keys);

}  // namespace ktarn::json
