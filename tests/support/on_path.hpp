// Whether a program the fixtures start is installed: an executable of that name in a folder of
// PATH, looked up as the shell would, so a missing one skips its tests with a reason.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace ktarn::testing {

inline bool on_path(std::string_view program) {
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "";
  while (!folders.empty()) {
    const auto colon = folders.find(':');
    const std::string folder(folders.substr(0, colon));
    if (!folder.empty() && ::access((folder + "/" + std::string(program)).c_str(), X_OK) == 0) {
      return true;
    }
    folders = colon == std::string_view::npos ? std::string_view{} : folders.substr(colon + 1);
  }
  return false;
}

}  // namespace ktarn::testing
