#include "ktarn_macos.h"
char* ktarn_macos_call(const char*, const char*, const char*) { return nullptr; }
void ktarn_macos_free(char*) {}
