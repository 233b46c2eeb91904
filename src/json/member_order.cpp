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

bool in_name_order(std::span<const TreeBuilder::Raw> members) {
  for (std::size_t i = 1; i < members.size(); ++i) {
    if (!name_less(TreeBuilder::name_of(members[i - 1]), TreeBuilder::name_of(members[i])))
      return false;
  }
  return true;
}

// True when the members' leading bytes are those of the remembered object, in the same order.
bool same_prefixes(std::span<const TreeBuilder::Raw> arrival, const RememberedOrder& memo) {
  if (arrival.size() != memo.count) return false;
  for (std::size_t i = 0; i < arrival.size(); ++i) {
    if (prefix_of(TreeBuilder::name_of(arrival[i])) != memo.prefixes[i]) return false;
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

std::span<NameKey> MemberOrder::keys(std::size_t count) {
  if (count <= kLocal) return std::span(local_keys_).first(count);
  keys_.resize(count);
  return keys_;
}

std::span<std::uint32_t> MemberOrder::indices(std::size_t count) {
  if (count <= kLocal) return std::span(local_indices_).first(count);
  indices_.resize(count);
  return indices_;
}

std::span<const std::uint32_t> MemberOrder::of(std::span<const TreeBuilder::Raw> arrival,
                                               RememberedOrder* memo) {
  if (memo != nullptr && same_prefixes(arrival, *memo)) {
    return std::span(memo->order).first(arrival.size());
  }
  const std::span<std::uint32_t> kept = indices(arrival.size());
  if (in_name_order(arrival)) {
    for (std::uint32_t i = 0; i < kept.size(); ++i) kept[i] = i;
    return kept;
  }
  const std::span<NameKey> sorted = keys(arrival.size());
  for (std::size_t i = 0; i < arrival.size(); ++i) {
    sorted[i] = NameKey{prefix_of(TreeBuilder::name_of(arrival[i])), static_cast<std::uint32_t>(i)};
  }
  sort_keys(sorted, [&arrival](const NameKey& a, const NameKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int order =
        TreeBuilder::name_of(arrival[a.index]).compare(TreeBuilder::name_of(arrival[b.index]));
    return order != 0 ? order < 0 : a.index < b.index;
  });
  if (memo != nullptr) remember_order(sorted, *memo);
  std::size_t count = 0;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const std::string_view name = TreeBuilder::name_of(arrival[sorted[i].index]);
    const bool repeated = i + 1 < sorted.size() && sorted[i + 1].prefix == sorted[i].prefix &&
                          TreeBuilder::name_of(arrival[sorted[i + 1].index]) == name;
    if (!repeated) kept[count++] = sorted[i].index;
  }
  return kept.first(count);
}

}  // namespace ktarn::json
