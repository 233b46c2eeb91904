// One bridge call from start to end over an explicit platform: convert the inputs, check the key
// name's namespace, run the operation the word names, wrap its outcome in the response envelope
// and hand the serialised envelope back in a NUL-terminated buffer the caller owns. The exported
// ktarn_macos_call is this over the build's default platform.
#pragma once

#include "bridge/platform/platform.hpp"

namespace ktarn::bridge {

// The buffer comes from the platform's allocator and is exactly text length + 1 bytes; it is
// released with free. NULL when no envelope could be produced (serialisation yielded nothing, or
// the allocation failed). Every platform object obtained during the call is released before it
// returns.
char* bridge_call(platform::Platform& platform, const char* key_name, const char* operation,
                  const char* argument);

}  // namespace ktarn::bridge
