#include "base/login_keychain_path.hpp"

namespace ktarn {

std::string login_keychain_path(std::string_view home,
                                const std::function<bool(const std::string&)>& file_exists) {
  while (!home.empty() && home.back() == '/') home.remove_suffix(1);
  const std::string folder = std::string(home) + "/Library/Keychains/";
  std::string current = folder + "login.keychain-db";
  return file_exists(current) ? current : folder + "login.keychain";
}

}  // namespace ktarn
