#include "bridge/platform/software/keys/decoded_key_cache.hpp"

#include <algorithm>
#include <utility>

namespace ktarn::platform::software {

const DecodedKey* DecodedKeyCache::find(const SecretBytes& stored) const {
  for (const Entry& entry : entries_) {
    if (entry.stored == stored) return &entry.decoded;
  }
  return nullptr;
}

DecodedKey DecodedKeyCache::decode(const SecretBytes& stored) {
  if (const DecodedKey* kept = find(stored)) return *kept;
  Pkey key = decode_rsa_private_key(stored.view());
  if (!key) return {};
  Signer signer = make_sha256_signer(*key);
  return remember(stored, {std::move(key), std::move(signer)}, false);
}

DecodedKey DecodedKeyCache::remember(const SecretBytes& stored, DecodedKey decoded, bool in_tpm) {
  if (in_tpm) forget_tpm_key();
  if (entries_.size() == kCapacity) entries_.erase(entries_.begin());
  entries_.push_back({stored, std::move(decoded), in_tpm});
  return entries_.back().decoded;
}

void DecodedKeyCache::forget_tpm_key() {
  std::erase_if(entries_, [](const Entry& entry) { return entry.in_tpm; });
}

}  // namespace ktarn::platform::software
