#include "bridge/platform/software/standard_base64.hpp"

#include <algorithm>

namespace ktarn::platform::software {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of one alphabet symbol, or -1.
int symbol_value(char symbol) {
  const auto at = kAlphabet.find(symbol);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// How many "=" end the text, when they stand only in the last group's final one or two places.
std::optional<std::size_t> padding_length(std::string_view text) {
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  if (text.substr(0, text.size() - padding).find('=') != std::string_view::npos) {
    return std::nullopt;
  }
  return padding;
}

}  // namespace

std::string encode_standard_base64(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 3; ++i) group = (group << 8) | (i < count ? bytes[at + i] : 0);
    for (std::size_t i = 0; i < 4; ++i) {
      text += i <= count ? kAlphabet[(group >> (18 - 6 * i)) & 0x3F] : '=';
    }
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> decode_standard_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  const auto padding = padding_length(text);
  if (!padding) return std::nullopt;
  const std::string_view symbols = text.substr(0, text.size() - *padding);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(symbols.size() * 3 / 4);
  std::uint32_t bits = 0;
  int bit_count = 0;
  for (char symbol : symbols) {
    const int value = symbol_value(symbol);
    if (value < 0) return std::nullopt;
    bits = ((bits << 6) | static_cast<std::uint32_t>(value)) & 0xFFFFFF;
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> bit_count));
    }
  }
  // What is left over belongs to no byte; only all-zero spare bits keep the text canonical.
  if ((bits & ((1u << bit_count) - 1)) != 0) return std::nullopt;
  return bytes;
}

}  // namespace ktarn::platform::software
