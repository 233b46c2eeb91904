// The keychain file on disk, before the database sees it. Opening a path where nothing exists
// creates the missing folders (0700) and an empty file (0600) without following symbolic links;
// a file that is there is used only when it is a regular file of this user that nobody else can
// write, since whoever can write the keychain can plant keys in it.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <string>

#include "bridge/platform/keychain.hpp"

namespace ktarn::platform::software {

// Which file was vetted, so the caller can tell that the database opened that same file.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The state of the file's content as the file system reports it: every write, truncation or
// rewrite in place moves the change time (which no process can set) or the size.
struct FileChange {
  off_t size = -1;
  std::int64_t changed_ns = 0;
  bool operator==(const FileChange&) const = default;
};

// Makes sure a safe keychain file exists at path (creating an empty one when nothing is there)
// and records its identity and state. A status other than 0 means the file must not be used.
OSStatus prepare_keychain_file(const std::string& path, FileIdentity& identity, FileChange& change);

// Whether the state is old enough that any later write must show a different change time;
// file times advance in coarse steps, so a write just after another may keep the same time.
bool has_settled(const FileChange& change);

// Whether path still names the vetted file; a changed entry means someone swapped it meanwhile.
bool is_same_file(const std::string& path, const FileIdentity& identity);

}  // namespace ktarn::platform::software
