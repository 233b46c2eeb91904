// Where a user's login keychain lives, one rule for the companion and for ktarn-keychain, so that
// both always name the same file: under the home folder, Library/Keychains/login.keychain-db when
// anything is there, else the older name login.keychain, untested (opening it decides whether it
// is usable).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace ktarn {

// file_exists tells whether anything is at a path; trailing "/" of home are not doubled.
std::string login_keychain_path(std::string_view home,
                                const std::function<bool(const std::string&)>& file_exists);

}  // namespace ktarn
