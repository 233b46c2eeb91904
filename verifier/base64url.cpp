#include "verifier/base64url.hpp"

#include <string>

namespace ktarn::verifier {

// The URL-safe text is read through the host's strict standard decoder: its two letters are
// swapped back and the padding the encoder left off is restored. The standard letters and "=" are
// refused first, since after the swap they would pass for the URL-safe ones.
std::optional<macos::Bytes> base64url_decode_strict(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string standard(text.size() + (4 - text.size() % 4) % 4, '=');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' || c == '/' || c == '=') return std::nullopt;
    standard[i] = c == '-' ? '+' : c == '_' ? '/' : c;
  }
  return macos::base64_decode_strict(standard);
}

}  // namespace ktarn::verifier
