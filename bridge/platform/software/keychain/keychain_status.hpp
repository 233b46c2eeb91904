// How the software keychain's failures become status codes: every failure of the keychain files
// and the database ends here, so the mapping the administration tool documents is this file.
#pragma once

#include "bridge/platform/status_codes.hpp"

namespace ktarn::platform::software {

// A failed system call on the keychain's folders or file, by errno.
OSStatus status_from_errno(int error_number);
// A failed database call, by its (extended) result code.
OSStatus status_from_sqlite(int result_code);

}  // namespace ktarn::platform::software
