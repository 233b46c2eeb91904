#include "base/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace ktarn {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool in(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

// Length of the well-formed sequence starting at p (lead byte of 0x80 or above), or 0.
std::size_t sequence_length(const unsigned char* p, const unsigned char* end) {
  const std::size_t left = static_cast<std::size_t>(end - p);
  const unsigned char lead = p[0];
  if (in(lead, 0xC2, 0xDF)) return left >= 2 && in(p[1], 0x80, 0xBF) ? 2 : 0;
  if (in(lead, 0xE0, 0xEF)) {
    if (left < 3) return 0;
    const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    return in(p[1], low, high) && in(p[2], 0x80, 0xBF) ? 3 : 0;
  }
  if (in(lead, 0xF0, 0xF4)) {
    if (left < 4) return 0;
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    return in(p[1], low, high) && in(p[2], 0x80, 0xBF) && in(p[3], 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    // ASCII is stepped over a word at a time, for long request lines (bench/README.md, "Speed
    // tricks"); Utf8.EveryPositionAroundAWord proves it equal to the byte-wise scan.
    std::uint64_t word;
    while (end - p >= 8 && (std::memcpy(&word, p, 8), (word & kHighBits) == 0)) p += 8;
    while (p != end && *p < 0x80) ++p;
    if (p == end) break;
    const std::size_t length = sequence_length(p, end);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

char* put_utf8(char* out, char32_t code_point) {
  const auto cp = static_cast<std::uint32_t>(code_point);
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

}  // namespace ktarn
