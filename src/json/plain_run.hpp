// Plain runs: the stretches of string bytes that pass through unchanged, in the text and in its
// written form alike. A run ends at a quotation mark, a backslash or a byte below 0x20; those are
// exactly the bytes the reader must interpret and the writer must escape. Both scan for the end
// of a run eight bytes at a time, so long strings cost little more than a copy.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace ktarn::json {

inline constexpr std::uint64_t kPlainRunHighBits = 0x8080808080808080ULL;

inline bool ends_plain_run(unsigned char c) {
  return c == '"' || c == '\\' || c < 0x20;
}

// The end of the plain run starting at p: the first byte that ends it, or end. Every byte passed
// over is ORed into seen (possibly a few beyond), so the caller learns whether any had the high
// bit set. In a word, '"' and '\\' become zero after the XOR, and the borrow trick flags zero and
// sub-0x20 bytes; a spurious flag can only lie above a genuine one, so the lowest is exact.
inline const unsigned char* find_plain_run_end(const unsigned char* p, const unsigned char* end,
                                               std::uint64_t& seen) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      const std::uint64_t quote = word ^ (kOnes * '"');
      const std::uint64_t backslash = word ^ (kOnes * '\\');
      const std::uint64_t hits =
          ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (word - kOnes * 0x20);
      const std::uint64_t flagged = hits & ~word & kPlainRunHighBits;
      seen |= word;
      if (flagged != 0) return p + std::countr_zero(flagged) / 8;
      p += 8;
    }
  }
  while (p != end && !ends_plain_run(*p)) seen |= *p++;
  return p;
}

// True when a byte ORed into seen by find_plain_run_end had its high bit set.
inline bool any_high_bit(std::uint64_t seen) {
  return (seen & kPlainRunHighBits) != 0;
}

}  // namespace ktarn::json
