#include "bridge/platform/software/held_folder_vfs.hpp"

#include <cstring>

#include <sqlite3.h>

namespace ktarn::platform::software {

namespace {

constexpr const char* kName = "ktarn-held-folder";

// Names are only ever the absolute ones held_folder_path makes.
int keep_full_pathname(sqlite3_vfs*, const char* name, int size, char* out) {
  const std::size_t length = std::strlen(name);
  if (name[0] != '/' || length >= static_cast<std::size_t>(size)) return SQLITE_CANTOPEN;
  std::memcpy(out, name, length + 1);
  return SQLITE_OK;
}

}  // namespace

// Registered once, on first use; the bridge runs on one thread.
const char* held_folder_vfs() {
  static sqlite3_vfs layer{};
  if (layer.zName != nullptr) return layer.zName;
  sqlite3_vfs* unix_layer = sqlite3_vfs_find("unix");
  if (unix_layer == nullptr) return nullptr;
  sqlite3_vfs copy = *unix_layer;
  copy.pNext = nullptr;
  copy.zName = kName;
  copy.xFullPathname = keep_full_pathname;
  layer = copy;
  if (sqlite3_vfs_register(&layer, 0) != SQLITE_OK) {
    layer.zName = nullptr;
    return nullptr;
  }
  return layer.zName;
}

std::string held_folder_path(const KeychainFolder& folder) {
  return "/proc/self/fd/" + std::to_string(folder.descriptor.get()) + "/" + folder.file_name;
}

}  // namespace ktarn::platform::software
