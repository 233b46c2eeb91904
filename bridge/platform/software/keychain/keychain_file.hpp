// The keychain file on disk, before the database sees it. The file is reached only through its
// vetted folder (keychain_folder.hpp). It is used only when it is a regular file of this user
// that neither group nor others can write, since whoever can write the keychain can plant keys
// in it; a file group or others can read (a copy made under a loose umask) is tightened to 0600
// by a read-write open, since reading it gives away the private keys. A journal or other side
// file the database would read beside it must pass the same test, or it could replay someone
// else's pages into the keychain. A read-write open of a path where nothing exists creates the
// missing keychain folders and an empty file (0600); a read-only open creates and changes
// nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bridge/platform/software/keychain/keychain_folder.hpp"

namespace ktarn::platform::software {

enum class KeychainAccess { kReadWrite, kReadOnly };

// The state of the file's content as the file system reports it: every write, truncation or
// rewrite in place moves the change time (which no process can set) or the size.
struct FileChange {
  off_t size = -1;
  std::int64_t changed_ns = 0;
  bool operator==(const FileChange&) const = default;
};

// A keychain file that passed, with its folder held open.
struct VettedKeychain {
  KeychainFolder folder;
  FileIdentity identity;
  FileChange change;
};

StatusOr<VettedKeychain> vet_keychain_file(const std::string& path, KeychainAccess access);

// What a kept connection remembers of its folder: the folder's change time when it held no side
// file, kept only once that time had settled. While the folder's change time stays the same, no
// entry has been made, removed or renamed in it, so it still holds no side file.
struct QuietFolder {
  std::int64_t changed_ns = -1;
};

// The file's state when path still leads to the held folder, the folder still holds the vetted
// file under its name, and the file and its side files pass as they are (nothing to tighten):
// everything a read-write vetting of path would prove, at a fraction of its system calls. None
// otherwise, and the caller then vets path afresh.
std::optional<FileChange> unchanged_keychain(const std::string& path, const KeychainFolder& folder,
                                             const FileIdentity& file, QuietFolder& quiet);

// Whether a change time is old enough that any later change must show a different one; file
// times advance in coarse steps, so a change just after another may keep the same time.
bool has_settled(std::int64_t changed_ns);

// Whether the folder still holds the vetted file under its name; a changed entry means the user
// swapped it meanwhile.
bool is_same_file(const KeychainFolder& folder, const FileIdentity& identity);

}  // namespace ktarn::platform::software
