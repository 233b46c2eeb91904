// Plain runs: the stretches of string bytes that pass through unchanged, in the text and in its
// written form alike. A run ends at a quotation mark, a backslash or a byte below 0x20; those are
// exactly the bytes the reader must interpret and the writer must escape.
//
// Both scan for the end of a run sixteen bytes at a time where the CPU has SSE2 (every x86-64),
// else eight at a time in a word. That buys nothing on requests of short strings; it is kept for
// long ones, the answer to a large "sign" and the verifier's check of a large payload
// (bench/README.md, "Speed tricks"). PlainRuns.EscapeAtEveryPositionRoundTrips
// puts a byte that ends a run, and a non-ASCII one, at every position around one and two blocks of
// either width to prove the scan exact.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
#if defined(__SSE2__)
  // Sixteen bytes at a time; the words below take the tail. A byte below 0x20 is one that the
  // unsigned minimum with 0x1f leaves unchanged.
  if (end - p >= 16) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1f);
    __m128i passed = _mm_setzero_si128();
    for (; end - p >= 16; p += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      passed = _mm_or_si128(passed, block);
      const __m128i ends =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                       _mm_cmpeq_epi8(_mm_min_epu8(block, control), block));
      if (const int flagged = _mm_movemask_epi8(ends)) {
        if (_mm_movemask_epi8(passed) != 0) seen |= kPlainRunHighBits;
        return p + std::countr_zero(static_cast<unsigned>(flagged));
      }
    }
    if (_mm_movemask_epi8(passed) != 0) seen |= kPlainRunHighBits;
  }
#endif
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
