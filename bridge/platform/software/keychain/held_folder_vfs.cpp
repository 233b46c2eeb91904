#include "bridge/platform/software/keychain/held_folder_vfs.hpp"

#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktarn::platform::software {

namespace {

constexpr const char* kName = "ktarn-held-folder";
constexpr std::string_view kFolderPrefix = "/proc/self/fd/";

// The unix layer's own access check, for any name held_folder_path did not make.
int (*unix_access)(sqlite3_vfs*, const char*, int, int*) = nullptr;

struct HeldName {
  int folder;
  const char* file;
};

// The open folder and the file name inside it of a name held_folder_path made.
std::optional<HeldName> held_name(const char* name) {
  const std::string_view whole(name);
  if (!whole.starts_with(kFolderPrefix)) return std::nullopt;
  const char* digits = name + kFolderPrefix.size();
  const char* end = name + whole.size();
  int folder = -1;
  const auto [stop, error] = std::from_chars(digits, end, folder);
  if (error != std::errc() || stop == digits || *stop != '/' || std::strchr(stop + 1, '/')) {
    return std::nullopt;
  }
  return HeldName{folder, stop + 1};
}

// Names are only ever the absolute ones held_folder_path makes.
int keep_full_pathname(sqlite3_vfs*, const char* name, int size, char* out) {
  const std::size_t length = std::strlen(name);
  if (name[0] != '/' || length >= static_cast<std::size_t>(size)) return SQLITE_CANTOPEN;
  std::memcpy(out, name, length + 1);
  return SQLITE_OK;
}

// The check the database makes at every transaction for a journal or write-ahead log beside the
// keychain, answered as the unix layer answers it, but looked up in the open folder directly
// rather than through /proc, which costs the kernel about twice as much (bench/README.md, "Speed
// tricks"); the planted-journal tests prove a journal or log planted there is still found.
int access_in_held_folder(sqlite3_vfs* layer, const char* name, int flags, int* result) {
  const auto held = held_name(name);
  if (!held) return unix_access(layer, name, flags, result);
  if (flags == SQLITE_ACCESS_EXISTS) {
    struct stat info {};
    *result = ::fstatat(held->folder, held->file, &info, 0) == 0 &&
              (!S_ISREG(info.st_mode) || info.st_size > 0);
  } else {
    *result = ::faccessat(held->folder, held->file, R_OK | W_OK, 0) == 0;
  }
  return SQLITE_OK;
}

}  // namespace

// Registered once, on first use; the bridge runs on one thread.
const char* held_folder_vfs() {
  static sqlite3_vfs layer{};
  if (layer.zName != nullptr) return layer.zName;
  // A keychain is a few pages, read into the page cache as needed: the cache's usual start of
  // twenty pages at once is touched page by page when it is made, which costs a new process
  // about 35 page faults before its first answer. Only a process's first use of the database
  // library can change it; after that the call is refused and the usual start stays.
  sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
  sqlite3_vfs* unix_layer = sqlite3_vfs_find("unix");
  if (unix_layer == nullptr) return nullptr;
  sqlite3_vfs copy = *unix_layer;
  copy.pNext = nullptr;
  copy.zName = kName;
  copy.xFullPathname = keep_full_pathname;
  unix_access = unix_layer->xAccess;
  copy.xAccess = access_in_held_folder;
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
