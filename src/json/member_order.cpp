#include "json/member_order.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace ktarn::json {
namespace {

// Big-endian, zero-padded: numeric order of prefixes is byte order of the first eight bytes.
// Short names are gathered byte by byte: a short copy followed by a whole-word load would stall.
std::uint64_t prefix_of(std::string_view name) {
  std::uint64_t prefix = 0;
  if (name.size() >= 8) {
    std::memcpy(&prefix, name.data(), 8);
    if constexpr (std::endian::native == std::endian::little) prefix = std::byteswap(prefix);
    return prefix;
  }
  for (std::size_t i = 0; i < 8; ++i) {
    prefix = (prefix << 8) | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0u);
  }
  return prefix;
}

// Objects have a handful of members; insertion sort beats the general sort at that size.
template <class Less>
void sort_keys(std::span<NameKey> keys, Less less) {
  if (keys.size() > 16) {
    std::sort(keys.begin(), keys.end(), less);
    return;
  }
  for (std::size_t i = 1; i < keys.size(); ++i) {
    const NameKey key = keys[i];
    std::size_t j = i;
    for (; j > 0 && less(key, keys[j - 1]); --j) keys[j] = keys[j - 1];
    keys[j] = key;
  }
}

// True when the members' leading bytes are those of the remembered object, in the same order.
bool same_prefixes(std::span<const JsonMember> arrival, const RememberedOrder& memo) {
  if (arrival.size() != memo.count) return false;
  for (std::size_t i = 0; i < arrival.size(); ++i) {
    if (prefix_of(arrival[i].first) != memo.prefixes[i]) return false;
  }
  return true;
}

// Keeps the order just found when the leading bytes alone decide it (no two are equal), and
// forgets any older one otherwise.
void remember_order(std::span<const NameKey> sorted, RememberedOrder& memo) {
  memo.count = 0;
  if (sorted.size() > RememberedOrder::kMembers) return;
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (sorted[i - 1].prefix == sorted[i].prefix) return;
  }
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    memo.prefixes[sorted[i].index] = sorted[i].prefix;
    memo.order[i] = sorted[i].index;
  }
  memo.count = sorted.size();
}

}  // namespace

bool name_less(std::string_view a, std::string_view b) {
  // Most names already differ in their first byte; spare those the library call.
  if (!a.empty() && !b.empty() && a.front() != b.front()) {
    return static_cast<unsigned char>(a.front()) < static_cast<unsigned char>(b.front());
  }
  return a < b;
}

bool in_name_order(std::span<const JsonMember> members) {
  for (std::size_t i = 1; i < members.size(); ++i) {
    if (!name_less(members[i - 1].first, members[i].first)) return false;
  }
  return true;
}

JsonMembers take_in_name_order(std::span<JsonMember> arrival, std::vector<NameKey>& keys,
                               RememberedOrder* memo) {
  JsonMembers ordered;
  ordered.reserve(arrival.size());
  if (in_name_order(arrival)) {
    for (JsonMember& member : arrival) ordered.push_back(std::move(member));
    return ordered;
  }
  if (memo != nullptr && same_prefixes(arrival, *memo)) {
    for (std::size_t i = 0; i < arrival.size(); ++i) {
      ordered.push_back(std::move(arrival[memo->order[i]]));
    }
    return ordered;
  }
  // Small objects, the usual case, sort their keys on the stack.
  constexpr std::size_t kLocalKeys = 32;
  NameKey local[kLocalKeys];
  if (arrival.size() > kLocalKeys) keys.resize(arrival.size());
  const std::span<NameKey> sorted(arrival.size() > kLocalKeys ? keys.data() : local,
                                  arrival.size());
  for (std::size_t i = 0; i < arrival.size(); ++i) {
    sorted[i] = NameKey{prefix_of(arrival[i].first), static_cast<std::uint32_t>(i)};
  }
  sort_keys(sorted, [&arrival](const NameKey& a, const NameKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int order = arrival[a.index].first.compare(arrival[b.index].first);
    return order != 0 ? order < 0 : a.index < b.index;
  });
  if (memo != nullptr) remember_order(sorted, *memo);
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    JsonMember& member = arrival[sorted[i].index];
    const bool repeated = i + 1 < sorted.size() && sorted[i + 1].prefix == sorted[i].prefix &&
                          arrival[sorted[i + 1].index].first == member.first;
    if (!repeated) ordered.push_back(std::move(member));
  }
  return ordered;
}

}  // namespace ktarn::json
