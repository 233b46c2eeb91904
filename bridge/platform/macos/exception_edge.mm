#include "bridge/platform/macos/exception_edge.hpp"

#import <Foundation/Foundation.h>

#include "bridge/platform/object.hpp"

namespace ktarn::platform::macos {

// The exception is thrown once the Objective-C handler and the release scope have been left, so
// that it unwinds through C++ frames only. Its text is fixed: the exception's own reason is
// never read.
void run_guarded(void (*body)(void*), void* context) {
  bool raised = false;
  @autoreleasepool {
    @try {
      body(context);
    } @catch (NSException*) {
      raised = true;
    }
  }
  if (raised) throw PlatformException("the platform raised an exception");
}

}  // namespace ktarn::platform::macos
