// Stand-in: the Core Graphics declarations the macOS platform layer uses (see ../README.md).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

extern "C" {

typedef uint32_t CGDirectDisplayID;
enum CGError : int32_t { kCGErrorSuccess = 0 };

CGError CGGetActiveDisplayList(uint32_t maxDisplays, CGDirectDisplayID* _Nullable activeDisplays,
                               uint32_t* _Nullable displayCount);

}  // extern "C"
