#include "bridge/platform/software/keys/tss_private_key.hpp"

#include <array>
#include <cstddef>

namespace ktarn::platform::software {

namespace {

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kOctetString = 0x04;
// 2.23.133.10.1.3, the TCG's identifier of a key to be loaded under its parent.
constexpr std::array<std::uint8_t, 8> kLoadableKey = {0x06, 0x06, 0x67, 0x81,
                                                      0x05, 0x0a, 0x01, 0x03};
// emptyAuth: [0] EXPLICIT BOOLEAN TRUE, whose value byte the provider writes as 1 (not DER's
// 0xff).
constexpr std::array<std::uint8_t, 5> kEmptyAuth = {0xa0, 0x03, 0x01, 0x01, 0x01};
// parent: the owner hierarchy (TPM2_RH_OWNER), under whose primary key the provider loads it.
constexpr std::array<std::uint8_t, 6> kOwnerParent = {0x02, 0x04, 0x40, 0x00, 0x00, 0x01};

// A DER length; what is stored here is far below 64 KiB (a TPM2B's size is 16 bits).
void append_length(Bytes& out, std::size_t length) {
  if (length >= 0x100) {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(length >> 8));
  } else if (length >= 0x80) {
    out.push_back(0x81);
  }
  out.push_back(static_cast<std::uint8_t>(length));
}

void append(Bytes& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void append_octet_string(Bytes& out, std::span<const std::uint8_t> content) {
  out.push_back(kOctetString);
  append_length(out, content.size());
  append(out, content);
}

}  // namespace

Bytes encode_tss_private_key(std::span<const std::uint8_t> marshalled_public,
                             std::span<const std::uint8_t> marshalled_private) {
  Bytes content;
  append(content, kLoadableKey);
  append(content, kEmptyAuth);
  append(content, kOwnerParent);
  append_octet_string(content, marshalled_public);
  append_octet_string(content, marshalled_private);
  Bytes der{kSequence};
  append_length(der, content.size());
  append(der, content);
  return der;
}

}  // namespace ktarn::platform::software
