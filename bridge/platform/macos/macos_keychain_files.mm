// Where the login keychain is looked for: the home folder and the file system through
// Foundation.
#include "bridge/platform/macos/exception_edge.hpp"
#include "bridge/platform/macos/macos_platform.hpp"

#import <Foundation/Foundation.h>

namespace ktarn::platform::macos {

std::string MacosKeychain::ns_home_directory() {
  return guarded([] { return std::string(NSHomeDirectory().fileSystemRepresentation); });
}

bool MacosKeychain::file_exists_at_path(const std::string& path) {
  return guarded([&] {
    NSFileManager* files = NSFileManager.defaultManager;
    return static_cast<bool>(
        [files fileExistsAtPath:[files stringWithFileSystemRepresentation:path.c_str()
                                                                   length:path.size()]]);
  });
}

}  // namespace ktarn::platform::macos
