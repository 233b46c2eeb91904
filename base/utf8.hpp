// UTF-8 as the wire form needs it: a strict validity check (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF) for bytes of unknown origin, and the encoder that turns a
// resolved \u escape into bytes.
#pragma once

#include <string>
#include <string_view>

namespace ktarn {

// True when every byte of text belongs to a well-formed UTF-8 sequence.
bool is_valid_utf8(std::string_view text);

// Stores the UTF-8 encoding of a Unicode scalar value (not a surrogate, at most 0x10FFFF) at out,
// which has room for four bytes, and returns the end of what it stored.
char* put_utf8(char* out, char32_t code_point);

}  // namespace ktarn
