#include "bridge/platform/software/keychain/keychain_status.hpp"

#include <cerrno>

#include <sqlite3.h>

namespace ktarn::platform::software {

OSStatus status_from_errno(int error_number) {
  switch (error_number) {
    case ENOENT:
    case ENOTDIR:
      return errSecNoSuchKeychain;
    case ELOOP:
      return errSecInvalidKeychain;  // a symbolic link where the keychain should be
    case EACCES:
    case EPERM:
      return errSecWrPerm;
    case EROFS:
      return errSecReadOnly;
    case ENOSPC:
    case EDQUOT:
      return errSecDskFull;
    case ENOMEM:
      return errSecAllocate;
    default:
      return errSecIO;
  }
}

OSStatus status_from_sqlite(int result_code) {
  switch (result_code & 0xff) {
    case SQLITE_OK:
      return errSecSuccess;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:
      return errSecInvalidKeychain;  // not a keychain, or not one of ours
    case SQLITE_NOMEM:
      return errSecAllocate;
    case SQLITE_FULL:
      return errSecDskFull;
    case SQLITE_READONLY:
      return errSecReadOnly;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return errSecWrPerm;
    case SQLITE_CANTOPEN:
      return errSecNoSuchKeychain;
    default:
      return errSecIO;  // busy beyond the wait, I/O errors, interruption
  }
}

}  // namespace ktarn::platform::software
