// The keychain file on disk, before the database sees it. Opening a path where nothing exists
// creates the missing folders (0700) and an empty file (0600) without following symbolic links;
// a file that is there is used only when it is a regular file of this user that nobody else can
// write, since whoever can write the keychain can plant keys in it.
#pragma once

#include <sys/types.h>
#include <string>

#include "bridge/platform/keychain.hpp"

namespace ktarn::platform::software {

// Which file was vetted, so the caller can tell that the database opened that same file.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Makes sure a safe keychain file exists at path (creating an empty one when nothing is there)
// and records its identity. A status other than 0 means the file must not be used.
OSStatus prepare_keychain_file(const std::string& path, FileIdentity& identity);

// Whether path still names the vetted file; a changed entry means someone swapped it meanwhile.
bool is_same_file(const std::string& path, const FileIdentity& identity);

}  // namespace ktarn::platform::software
