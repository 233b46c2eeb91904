// How SQLite reaches a keychain through the folder the keychain holds open. The database is
// named /proc/self/fd/N/FILE, N being the open folder: the kernel resolves that name through the
// open folder itself, so the database and every journal SQLite makes or reads beside it
// (FILE-journal) stay in the vetted folder, whatever happens to the folder's path meanwhile.
// SQLite's own file layer would turn such a name back into the folder's path, since it
// resolves symbolic links and /proc/self/fd/N is one; the layer here is that one with names
// kept exactly as given, and with its check for a file's presence (made for the journal at every
// transaction) looking in folder N directly. Nothing else is changed.
#pragma once

#include <string>

#include "bridge/platform/software/keychain/keychain_folder.hpp"

namespace ktarn::platform::software {

// The name of the file layer to pass to sqlite3_open_v2; none when it cannot be set up (SQLite
// out of memory), in which case the keychain must not be opened at all.
const char* held_folder_vfs();

// The name under which SQLite reaches the folder's keychain file.
std::string held_folder_path(const KeychainFolder& folder);

}  // namespace ktarn::platform::software
