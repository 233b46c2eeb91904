#include "json/member_order.hpp"

#include <algorithm>

namespace ktarn::json {
namespace {

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
bool same_prefixes(std::span<const NameKey> arrival, const RememberedOrder& memo) {
  if (arrival.size() != memo.count) return false;
  for (std::size_t i = 0; i < arrival.size(); ++i) {
    if (arrival[i].prefix != memo.prefixes[i]) return false;
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

// Objects of up to this many members are ordered by counting when their leading bytes differ.
constexpr std::size_t kMaxRanked = 16;

// Orders names whose leading bytes all differ by counting, for each, how many lead below it: no
// branch depends on the names, so none is mispredicted, which in a small object costs more than
// the comparisons. False when two leading bytes are equal and the names must be compared in full.
bool rank_distinct(std::span<const NameKey> keys, std::span<std::uint32_t> order) {
  std::size_t equal = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::uint32_t below = 0;
    for (const NameKey& other : keys) {
      below += other.prefix < keys[i].prefix ? 1 : 0;
      equal += other.prefix == keys[i].prefix ? 1 : 0;
    }
    order[below] = keys[i].index;
  }
  return equal == keys.size();  // each key equal only to itself
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
  const std::span<NameKey> sorted = keys(arrival.size());
  // Strictly ascending leading bytes mean strictly ascending names: no name compared in full.
  bool ascending = true;
  for (std::size_t i = 0; i < arrival.size(); ++i) {
    sorted[i] = NameKey{TreeBuilder::leading_bytes(arrival[i]), static_cast<std::uint32_t>(i)};
    if (i > 0 && sorted[i - 1].prefix >= sorted[i].prefix) ascending = false;
  }
  const std::span<std::uint32_t> kept = indices(arrival.size());
  if (ascending) {
    for (std::uint32_t i = 0; i < kept.size(); ++i) kept[i] = i;
    return kept;
  }
  if (memo != nullptr && same_prefixes(sorted, *memo)) {
    return std::span(memo->order).first(arrival.size());
  }
  if (arrival.size() <= kMaxRanked && rank_distinct(sorted, kept)) {
    if (memo != nullptr) {
      for (std::size_t i = 0; i < kept.size(); ++i) {
        memo->prefixes[i] = sorted[i].prefix;
        memo->order[i] = kept[i];
      }
      memo->count = kept.size();
    }
    return kept;
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
    const bool repeated = i + 1 < sorted.size() && sorted[i + 1].prefix == sorted[i].prefix &&
                          TreeBuilder::name_of(arrival[sorted[i + 1].index]) ==
                              TreeBuilder::name_of(arrival[sorted[i].index]);
    if (!repeated) kept[count++] = sorted[i].index;
  }
  return kept.first(count);
}

}  // namespace ktarn::json
