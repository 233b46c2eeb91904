#include "verifier/base64url.hpp"

#include <array>
#include <string>

namespace ktarn::verifier {
namespace {

// Each byte of a URL-safe text as the standard decoder is to see it: the two URL-safe letters
// swapped back, and the standard alphabet's own "+", "/" and "=" turned into a byte it refuses,
// since after the swap they would pass for the URL-safe ones. Every other byte stays as it is and
// is judged by the standard decoder.
constexpr std::array<char, 256> make_translation() {
  std::array<char, 256> table{};
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<char>(i);
  table['+'] = table['/'] = table['='] = '*';
  table['-'] = '+';
  table['_'] = '/';
  return table;
}
constexpr std::array<char, 256> kTranslation = make_translation();

}  // namespace

// The URL-safe text is read through the base library's strict standard decoder, with the padding
// the encoder left off restored.
std::optional<ktarn::Bytes> base64url_decode_strict(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string standard(text.size() + (4 - text.size() % 4) % 4, '=');
  // Through plain pointers: a char store could otherwise alias the string's own members.
  char* out = standard.data();
  for (const char c : text) *out++ = kTranslation[static_cast<unsigned char>(c)];
  return ktarn::base64_decode_strict(standard);
}

}  // namespace ktarn::verifier
