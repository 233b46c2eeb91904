// Text joined from pieces. Building a string as `literal + temporary` makes g++ 12 at -O3 warn of
// an overlapping copy that cannot happen (-Wrestrict, a known false positive); appending does not.
// Code that joins a literal and a temporary calls concat, so that the warning stays on elsewhere
// and this is the one place that knows why.
#pragma once

#include <string>
#include <string_view>

namespace ktarn {

template <class... Pieces>
std::string concat(const Pieces&... pieces) {
  std::string text;
  text.reserve((std::string_view(pieces).size() + ... + 0));
  (text.append(std::string_view(pieces)), ...);
  return text;
}

}  // namespace ktarn
