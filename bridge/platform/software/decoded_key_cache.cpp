#include "bridge/platform/software/decoded_key_cache.hpp"

#include <utility>

namespace ktarn::platform::software {

DecodedKey DecodedKeyCache::decode(const SecretBytes& stored) {
  for (const Entry& entry : entries_) {
    if (entry.stored == stored) return entry.decoded;
  }
  Pkey key = decode_rsa_private_key(stored.view());
  if (!key) return {};
  return remember(stored, std::move(key));
}

DecodedKey DecodedKeyCache::remember(const SecretBytes& stored, Pkey key) {
  Signer signer = make_sha256_signer(*key);
  if (entries_.size() == kCapacity) entries_.erase(entries_.begin());
  entries_.push_back({stored, {std::move(key), std::move(signer)}});
  return entries_.back().decoded;
}

}  // namespace ktarn::platform::software
