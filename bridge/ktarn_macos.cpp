// The exported C pair: one bridge call over the build's default platform, and the release of the
// buffer it returned.
#include "ktarn_macos.h"

#include <cstdlib>

#include "bridge/bridge_call.hpp"

char* ktarn_macos_call(const char* key_name, const char* operation, const char* argument) {
  return ktarn::bridge::bridge_call(ktarn::platform::default_platform(), key_name, operation,
                                    argument);
}

void ktarn_macos_free(char* buffer) {
  std::free(buffer);
}
