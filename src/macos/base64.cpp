#include "macos/base64.hpp"

#include <array>

namespace ktarn::macos {
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
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) text += alphabet[(group >> shift) & 0x3F];
  }
  const std::size_t tail = bytes.size() - i;
  if (tail == 0) return text;
  const std::uint32_t group = (bytes[i] << 16) | (tail == 2 ? bytes[i + 1] << 8 : 0);
  text += alphabet[(group >> 18) & 0x3F];
  text += alphabet[(group >> 12) & 0x3F];
  if (tail == 2) text += alphabet[(group >> 6) & 0x3F];
  if (padded) text.append(3 - tail, kPad);
  return text;
}

// Number of "=" at the end of a text whose length is a positive multiple of 4; a third "=" would
// stand for a symbol that carries fewer than 8 bits, which no byte sequence encodes to.
std::size_t padding_length(std::string_view text) {
  std::size_t pad = 0;
  while (pad < 2 && text[text.size() - 1 - pad] == kPad) ++pad;
  return pad;
}

// The last symbol of a padded group carries bits beyond the final byte; the encoder writes them
// as zero, so only zero spare bits give the one text of those bytes.
bool spare_bits_are_zero(std::uint32_t last_symbol, std::size_t pad) {
  const std::uint32_t spare_mask = pad == 2 ? 0x0F : pad == 1 ? 0x03 : 0x00;
  return (last_symbol & spare_mask) == 0;
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
  Bytes bytes;
  if (text.empty()) return bytes;
  const std::size_t pad = padding_length(text);
  const std::size_t symbols = text.size() - pad;
  bytes.reserve(symbols * 3 / 4);
  std::uint32_t accumulator = 0;
  int bits = 0;
  std::uint32_t last_symbol = 0;
  for (std::size_t i = 0; i < symbols; ++i) {
    const std::int8_t value = kSymbolValues[static_cast<unsigned char>(text[i])];
    if (value == kNotASymbol) return std::nullopt;
    last_symbol = static_cast<std::uint32_t>(value);
    accumulator = (accumulator << 6) | last_symbol;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<std::uint8_t>(accumulator >> bits));
      accumulator &= (1u << bits) - 1;
    }
  }
  if (!spare_bits_are_zero(last_symbol, pad)) return std::nullopt;
  return bytes;
}

}  // namespace ktarn::macos
