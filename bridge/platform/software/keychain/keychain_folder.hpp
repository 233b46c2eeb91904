// The folders above a keychain file. A keychain path reads HOME/Library/Keychains/FILE: the two
// folders directly above the file belong to the keychain, and whoever can change them can put
// files beside the keychain (a journal the database would replay, a different keychain), so
// each must be a real folder of this user that neither group nor others can write. The home
// above them is the user's own business and may be reached through symbolic links. The walk
// goes from the home down one open folder at a time, never following a link, so no folder can
// be swapped between its check and its use; the caller keeps the keychain's folder open and
// reaches the file and its side files only through it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/file_descriptor.hpp"
#include "bridge/platform/software/keychain/keychain_status.hpp"

namespace ktarn::platform::software {

// Which file or folder was vetted, so a later look can tell that it is still the same one.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

inline FileIdentity identity_of(const struct stat& info) {
  return {info.st_dev, info.st_ino};
}

struct KeychainFolder {
  FileDescriptor descriptor;  // the folder the keychain file lives in
  FileIdentity identity;
  std::string file_name;  // the keychain file's name inside it
};

// Opens the keychain's folder for path. With create, missing keychain folders are made (0700);
// the home is never made. Fails with errSecNoSuchKeychain for a path that is not absolute or
// names no file, or a missing folder; errSecInvalidKeychain for a symbolic link or anything
// but a folder where a keychain folder should be; errSecWrPerm for a keychain folder of another
// user or one that group or others can write.
StatusOr<KeychainFolder> open_keychain_folder(std::string_view path, bool create);

// Whether path still leads to the held folder through keychain folders that pass the same vetting
// as the walk's, proven from the folders' entries without opening any: what a connection that
// already holds the folder needs at each use. When false, the caller opens the folder anew,
// which also tells what changed. The held folder's state is left in state.
bool still_leads_to(std::string_view path, const KeychainFolder& folder, struct stat& state);

// The process never changes its user, so asking once is enough.
uid_t effective_user();

}  // namespace ktarn::platform::software
