// The one test of text that crosses into the platform layer: is it well-formed UTF-8 as RFC 3629
// defines it? Shared by the conversion of host text and by the serialiser, which must never write
// a string the host's parser would refuse.
#pragma once

#include <string_view>

namespace ktarn::platform::software {

// Shortest forms only, no UTF-16 surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
bool is_well_formed_utf8(std::string_view text);

}  // namespace ktarn::platform::software
