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

// One flag per byte value, so the byte-wise scan costs one load and one test.
inline constexpr auto kEndsPlainRun = [] {
  struct Table {
    bool ends[256] = {};
  } table;
  for (int c = 0; c < 0x20; ++c) table.ends[c] = true;
  table.ends[static_cast<unsigned char>('"')] = true;
  table.ends[static_cast<unsigned char>('\\')] = true;
  return table;
}();

inline bool ends_plain_run(unsigned char c) {
  return kEndsPlainRun.ends[c];
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

// Copies the first and the last sizeof(Word) of count bytes, sizeof(Word) <= count <=
// 2 * sizeof(Word).
template <class Word>
inline void copy_overlapping(char* to, const char* from, std::size_t count) {
  Word head;
  Word tail;
  std::memcpy(&head, from, sizeof(Word));
  std::memcpy(&tail, from + count - sizeof(Word), sizeof(Word));
  std::memcpy(to, &head, sizeof(Word));
  std::memcpy(to + count - sizeof(Word), &tail, sizeof(Word));
}

// Copies a run: with at most two overlapping loads and stores when it is short, so the short names
// and values that make up most of a request never pay for a library call.
inline void copy_bytes(char* to, const char* from, std::size_t count) {
  struct Words {
    std::uint64_t low;
    std::uint64_t high;
  };
  if (count > 32) {
    std::memcpy(to, from, count);
  } else if (count >= 16) {
    copy_overlapping<Words>(to, from, count);
  } else if (count >= 8) {
    copy_overlapping<std::uint64_t>(to, from, count);
  } else if (count >= 4) {
    copy_overlapping<std::uint32_t>(to, from, count);
  } else if (count >= 2) {
    copy_overlapping<std::uint16_t>(to, from, count);
  } else if (count == 1) {
    *to = *from;
  }
}

// True when a byte ORed into seen by find_plain_run_end had its high bit set.
inline bool any_high_bit(std::uint64_t seen) {
  return (seen & kPlainRunHighBits) != 0;
}

}  // namespace ktarn::json
