// Arbitrary text through the strict Base64 decoders, standard and URL-safe. Strictness means one
// text per byte sequence: a decoder accepts a text exactly when it is what its encoder writes for
// the bytes it decodes to. A lenient reading (the alphabet's symbols only, everything else
// skipped) finds the one candidate byte sequence, so acceptance can be checked in both
// directions. The URL-safe form of the same bytes must be the standard form with its two letters
// swapped and the padding dropped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "base/base64.hpp"

namespace {

using ktarn::Bytes;

constexpr std::string_view kStandardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlSafeAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The bytes the alphabet's symbols in the text stand for, whatever else the text holds.
Bytes lenient_decode(std::string_view text, std::string_view alphabet) {
  Bytes bytes;
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (char c : text) {
    const std::size_t value = alphabet.find(c);
    if (value == std::string_view::npos) continue;
    accumulator = ((accumulator << 6) | static_cast<std::uint32_t>(value)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<std::uint8_t>(accumulator >> bits));
    }
  }
  return bytes;
}

std::string url_safe_form(std::string standard) {
  while (!standard.empty() && standard.back() == '=') standard.pop_back();
  for (char& c : standard) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return standard;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<Bytes> decoded = ktarn::base64_decode_strict(text);
  const Bytes candidate = lenient_decode(text, kStandardAlphabet);
  const bool canonical = ktarn::base64_encode(candidate) == text;
  if (decoded.has_value() != canonical) std::abort();
  if (decoded && *decoded != candidate) std::abort();

  const std::optional<Bytes> url_decoded = ktarn::base64url_decode_strict(text);
  const Bytes url_candidate = lenient_decode(text, kUrlSafeAlphabet);
  const bool url_canonical = ktarn::base64url_encode(url_candidate) == text;
  if (url_decoded.has_value() != url_canonical) std::abort();
  if (url_decoded && *url_decoded != url_candidate) std::abort();
  if (ktarn::base64url_encode(candidate) != url_safe_form(ktarn::base64_encode(candidate))) {
    std::abort();
  }
  return 0;
}
