#include "main/key_name.hpp"

#include "base/utf8.hpp"

namespace ktarn::host {

std::string_view choose_key_name(std::span<const std::string_view> arguments) {
  // The last argument cannot be a flag: no value follows it.
  for (std::size_t at = 0; at + 1 < arguments.size(); ++at) {
    if (arguments[at] == kKeyNameFlag) return arguments[at + 1];
  }
  return kDefaultKeyName;
}

bool is_valid_key_name(std::string_view name) {
  return name.size() <= kMaxKeyNameBytes && name.starts_with(kKeyNamePrefix) && is_valid_utf8(name);
}

}  // namespace ktarn::host
