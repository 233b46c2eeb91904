// Plain runs: the stretches of string bytes that pass through unchanged, in the text and in its
// written form alike. A run ends at a quotation mark, a backslash or a byte below 0x20; those are
// exactly the bytes the reader must interpret and the writer must escape.
//
// Both scan for the end of a run eight bytes at a time. That buys nothing on requests of short
// strings (the byte-wise scan takes 2-5% fewer instructions on the JSON benchmark documents); it
// is kept for long ones: parse + write of the answer to a 32 KiB "sign", a 44 KiB string, takes
// 458 000 instructions against 711 000 byte by byte. PlainRuns.EscapeAtEveryPositionRoundTrips
// puts a byte that ends a run at every position around one and two words to prove the scan exact.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace ktarn::json {

inline constexpr std::uint64_t kPlainRunHighBits = 0x8080808080808080ULL;

inline bool ends_plain_run(unsigned char c) {
  return c < 0x20 || c == '"' || c == '\\';
}

// Flags, in the high bit of each byte, the bytes of word that end a plain run. '"' and '\\'
// become zero after the XOR, and the borrow trick flags zero and sub-0x20 bytes; a borrow only
// starts at a byte that ends a run, so a spurious flag can only lie above a genuine one and the
// lowest flag is exact.
inline std::uint64_t run_end_flags(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  const std::uint64_t hits =
      ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (word - kOnes * 0x20);
  return hits & ~word & kPlainRunHighBits;
}

// The end of the plain run starting at p: the first byte that ends it, or end. Every byte passed
// over is ORed into seen (possibly a few beyond, or a few already seen), so the caller learns
// whether any had the high bit set. Eight bytes at a time; a tail shorter than a word is read as
// the last word of the range, whose bytes before p are known to be plain and so flag nothing.
inline const unsigned char* find_plain_run_end(const unsigned char* p, const unsigned char* end,
                                               std::uint64_t& seen) {
  if constexpr (std::endian::native == std::endian::little) {
    if (end - p >= 8) {
      std::uint64_t word;
      for (; end - p >= 8; p += 8) {
        std::memcpy(&word, p, 8);
        seen |= word;
        if (const std::uint64_t flagged = run_end_flags(word)) {
          return p + std::countr_zero(flagged) / 8;
        }
      }
      if (p == end) return end;
      const unsigned char* const last = end - 8;
      std::memcpy(&word, last, 8);
      seen |= word;
      const std::uint64_t flagged = run_end_flags(word) & (~std::uint64_t{0} << (8 * (p - last)));
      return flagged != 0 ? last + std::countr_zero(flagged) / 8 : end;
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
