#include "json/member_order.hpp"

#include <algorithm>

namespace ktarn::json {

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

std::span<const std::uint32_t> MemberOrder::of(std::span<const TreeBuilder::Raw> arrival) {
  const std::span<NameKey> sorted = keys(arrival.size());
  for (std::size_t i = 0; i < arrival.size(); ++i) {
    sorted[i] = NameKey{TreeBuilder::leading_bytes(arrival[i]), static_cast<std::uint32_t>(i)};
  }
  const auto name = [&arrival](const NameKey& key) {
    return TreeBuilder::name_of(arrival[key.index]);
  };
  std::sort(sorted.begin(), sorted.end(), [&name](const NameKey& a, const NameKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int order = name(a).compare(name(b));
    return order != 0 ? order < 0 : a.index < b.index;
  });
  // Of each run of equal names, the last to arrive is kept.
  const std::span<std::uint32_t> kept = indices(arrival.size());
  std::size_t count = 0;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const bool repeated = i + 1 < sorted.size() && sorted[i + 1].prefix == sorted[i].prefix &&
                          name(sorted[i + 1]) == name(sorted[i]);
    if (!repeated) kept[count++] = sorted[i].index;
  }
  return kept.first(count);
}

}  // namespace ktarn::json
