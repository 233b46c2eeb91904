// Writing whole texts to standard output and standard error. A text goes out in one write call
// where the descriptor takes it; a partial or interrupted write is continued until every byte is
// out. A descriptor that is not open (EBADF) counts as written, since there is no reader to
// tell; a write that takes no bytes, or fails otherwise, is a failure the caller acts on.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string_view>

namespace ktarn::host {

// One write of up to size bytes, with the contract of write(2).
using WriteFunction = std::function<ssize_t(const char* bytes, std::size_t size)>;

WriteFunction descriptor_writer(int descriptor);

// True when every byte was written (or the descriptor is closed).
bool write_fully(const WriteFunction& write, std::string_view text);

}  // namespace ktarn::host
