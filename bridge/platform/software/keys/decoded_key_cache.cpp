#include "bridge/platform/software/keys/decoded_key_cache.hpp"

#include <algorithm>
#include <utility>

#include "bridge/platform/software/keys/key_kind.hpp"

namespace ktarn::platform::software {

const DecodedKey* DecodedKeyCache::find(const SecretBytes& stored) const {
  return find(stored, KeyPlace{});
}

const DecodedKey* DecodedKeyCache::find(const SecretBytes& stored, const KeyPlace& place) const {
  for (const Entry& entry : entries_) {
    if (entry.stored == stored && entry.row == place.row && entry.keychain == place.keychain) {
      return &entry.decoded;
    }
  }
  return nullptr;
}

DecodedKey DecodedKeyCache::remember(const SecretBytes& stored, DecodedKey decoded,
                                     const KeyKind& kind) {
  return remember(stored, KeyPlace{}, std::move(decoded), kind);
}

DecodedKey DecodedKeyCache::remember(const SecretBytes& stored, const KeyPlace& place,
                                     DecodedKey decoded, const KeyKind& kind) {
  const auto same_kind = [&kind](const Entry& entry) { return entry.kind == &kind; };
  // Room for one more of the kind: its oldest go first.
  auto of_kind =
      static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), same_kind));
  for (auto it = entries_.begin(); it != entries_.end() && of_kind >= kind.loaded_limit();) {
    if (same_kind(*it)) {
      it = entries_.erase(it);
      --of_kind;
    } else {
      ++it;
    }
  }
  if (entries_.size() == kCapacity) entries_.erase(entries_.begin());
  entries_.push_back({stored, std::string(place.keychain), place.row, std::move(decoded), &kind});
  return entries_.back().decoded;
}

void DecodedKeyCache::forget(const KeyKind& kind) {
  std::erase_if(entries_, [&kind](const Entry& entry) { return entry.kind == &kind; });
}

}  // namespace ktarn::platform::software
