// Stand-in: the process information calls the macOS platform layer uses (see README.md).
#pragma once

#include <stdint.h>

extern "C" {

int proc_listallpids(void* buffer, int buffersize);
int proc_name(int pid, void* buffer, uint32_t buffersize);

}  // extern "C"
