#include "base/base64.hpp"

#include <array>

namespace ktarn {
namespace {

constexpr std::string_view kStandardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlSafeAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kPad = '=';
// Marks a byte outside the alphabet; symbol values use only the low six bits, so one OR over a
// run of values tells whether any byte was not a symbol.
constexpr std::uint8_t kNotASymbol = 0x80;

// Symbol value of each byte in an alphabet; kNotASymbol for every other byte, "=", white space
// and the other alphabet's two letters included.
constexpr std::array<std::uint8_t, 256> make_symbol_values(std::string_view alphabet) {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotASymbol);
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return values;
}
constexpr std::array<std::uint8_t, 256> kStandardValues = make_symbol_values(kStandardAlphabet);
constexpr std::array<std::uint8_t, 256> kUrlSafeValues = make_symbol_values(kUrlSafeAlphabet);

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

// The bytes of a run of symbols with the padding, if any, already taken off: every byte must be
// a symbol of the alphabet, and the bits of the last symbol beyond the final whole byte must be
// zero, as the encoder writes them, so that each byte sequence has one text. A run of 4k+1
// symbols ends in a symbol that carries no whole byte, which no byte sequence encodes to.
std::optional<Bytes> decode_symbols(std::string_view symbols,
                                    const std::array<std::uint8_t, 256>& values) {
  const std::size_t tail = symbols.size() % 4;
  if (tail == 1) return std::nullopt;
  Bytes bytes(symbols.size() / 4 * 3 + (tail == 0 ? 0 : tail - 1));
  const auto* in = reinterpret_cast<const unsigned char*>(symbols.data());
  const auto* const groups_end = in + (symbols.size() - tail);
  std::uint8_t* out = bytes.data();
  // Not-a-symbol marks are gathered over the whole text and judged once: refusing early would
  // only speed up texts that are refused anyway.
  std::uint8_t marks = 0;
  for (; in != groups_end; in += 4, out += 3) {
    const std::uint8_t a = values[in[0]], b = values[in[1]], c = values[in[2]], d = values[in[3]];
    marks |= a | b | c | d;
    const std::uint32_t group =
        std::uint32_t{a} << 18 | std::uint32_t{b} << 12 | std::uint32_t{c} << 6 | std::uint32_t{d};
    out[0] = static_cast<std::uint8_t>(group >> 16);
    out[1] = static_cast<std::uint8_t>(group >> 8);
    out[2] = static_cast<std::uint8_t>(group);
  }
  if (tail != 0) {
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < tail; ++k) {
      const std::uint8_t value = values[in[k]];
      marks |= value;
      group |= std::uint32_t{value} << (18 - 6 * k);
    }
    // Two symbols carry one byte and four spare bits, three carry two bytes and two spare bits.
    const std::uint32_t spare_bits = tail == 2 ? 0xFFFF : 0xFF;
    if ((group & spare_bits) != 0) return std::nullopt;
    out[0] = static_cast<std::uint8_t>(group >> 16);
    if (tail == 3) out[1] = static_cast<std::uint8_t>(group >> 8);
  }
  if ((marks & kNotASymbol) != 0) return std::nullopt;
  return bytes;
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
  // At most two "=": a third would stand for a symbol that carries fewer than 8 bits. An "="
  // anywhere else is refused as a symbol.
  std::size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == kPad) ++pad;
  return decode_symbols(text.substr(0, text.size() - pad), kStandardValues);
}

std::optional<Bytes> base64url_decode_strict(std::string_view text) {
  return decode_symbols(text, kUrlSafeValues);
}

}  // namespace ktarn
