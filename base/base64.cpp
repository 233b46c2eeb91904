#include "base/base64.hpp"

#include <algorithm>
#include <array>

namespace ktarn {
namespace {

constexpr std::string_view kStandardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlSafeAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kPad = '=';
constexpr std::int8_t kNotASymbol = -1;

// Symbol value of each byte in the standard alphabet; kNotASymbol for every other byte, "=",
// white space and the URL-safe letters included.
constexpr std::array<std::int8_t, 256> make_symbol_values() {
  std::array<std::int8_t, 256> values{};
  values.fill(kNotASymbol);
  for (std::size_t i = 0; i < kStandardAlphabet.size(); ++i) {
    values[static_cast<unsigned char>(kStandardAlphabet[i])] = static_cast<std::int8_t>(i);
  }
  return values;
}
constexpr std::array<std::int8_t, 256> kSymbolValues = make_symbol_values();

std::string encode(ByteView bytes, std::string_view alphabet, bool padded) {
  const std::size_t tail = bytes.size() % 3;
  std::string text(bytes.size() / 3 * 4 + (tail == 0 ? 0 : padded ? 4 : tail + 1), kPad);
  char* out = text.data();
  auto put = [&](std::uint32_t group, int symbols) {
    for (int shift = 18; symbols-- > 0; shift -= 6) *out++ = alphabet[(group >> shift) & 0x3F];
  };
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) put(bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2], 4);
  if (tail == 1) put(bytes[i] << 16, 2);
  if (tail == 2) put(bytes[i] << 16 | bytes[i + 1] << 8, 3);
  return text;
}

// The 24 bits of one group of four characters, of which the first `symbols` are symbols and the
// rest padding, which stands for zero bits; nothing when a symbol is not in the alphabet.
std::optional<std::uint32_t> group_bits(std::string_view group, std::size_t symbols) {
  std::uint32_t bits = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::int8_t value = k < symbols ? kSymbolValues[static_cast<unsigned char>(group[k])] : 0;
    if (value == kNotASymbol) return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
  }
  return bits;
}

// Number of "=" at the end of a text whose length is a positive multiple of 4; a third "=" would
// stand for a symbol that carries fewer than 8 bits, which no byte sequence encodes to.
std::size_t padding_length(std::string_view text) {
  std::size_t pad = 0;
  while (pad < 2 && text[text.size() - 1 - pad] == kPad) ++pad;
  return pad;
}

}  // namespace

std::string base64_encode(ByteView bytes) {
  return encode(bytes, kStandardAlphabet, true);
}

std::string base64url_encode(ByteView bytes) {
  return encode(bytes, kUrlSafeAlphabet, false);
}

std::optional<Bytes> base64_decode_strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  const std::size_t groups = text.size() / 4;
  const std::size_t pad = groups == 0 ? 0 : padding_length(text);
  Bytes bytes(groups * 3);
  for (std::size_t g = 0; g < groups; ++g) {
    // Only the last group may end in padding; an "=" anywhere else is refused as a symbol.
    const std::size_t symbols = g + 1 == groups ? 4 - pad : 4;
    const std::optional<std::uint32_t> bits = group_bits(text.substr(4 * g, 4), symbols);
    if (!bits) return std::nullopt;
    bytes[3 * g] = static_cast<std::uint8_t>(*bits >> 16);
    bytes[3 * g + 1] = static_cast<std::uint8_t>(*bits >> 8);
    bytes[3 * g + 2] = static_cast<std::uint8_t>(*bits);
  }
  // The last symbol's bits beyond the final byte land in the bytes the padding stands for. The
  // encoder writes them as zero, so only zero spare bits give the one text of those bytes.
  const auto padding_bytes = bytes.end() - static_cast<std::ptrdiff_t>(pad);
  if (std::any_of(padding_bytes, bytes.end(), [](std::uint8_t b) { return b != 0; })) {
    return std::nullopt;
  }
  bytes.erase(padding_bytes, bytes.end());
  return bytes;
}

}  // namespace ktarn
