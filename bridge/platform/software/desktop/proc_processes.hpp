// The running processes as /proc shows them: the numeric entries of /proc are the process ids,
// and /proc/<pid>/comm holds the name the kernel keeps for each process (the base name of the
// program it runs, cut to the kernel's limit of 15 bytes, or the name the process gave itself).
// That name is readable for every process, whoever owns it, while the executable's path often
// is not. A name of exactly 15 bytes may have been cut, so it is completed from the program's
// file name: the target of /proc/<pid>/exe where readable, else the first argument in
// /proc/<pid>/cmdline, whichever continues those 15 bytes. Shorter names are taken as they are.
#pragma once

#include <cstdint>
#include <span>

namespace ktarn::platform::software {

// Stores the ids of the running processes into block, at most its capacity, and returns how
// many it stored. When more processes exist than fit, the block is reported full, so the caller
// can tell the listing may be incomplete. 0 when /proc cannot be read.
int list_process_ids(std::span<std::int32_t> block);

// Copies the process's name into buffer, NUL-terminated and cut to fit, and returns its length
// in bytes; 0 when the name cannot be read (the process has gone, or the buffer has no room).
int read_process_name(std::int32_t pid, std::span<char> buffer);

}  // namespace ktarn::platform::software
