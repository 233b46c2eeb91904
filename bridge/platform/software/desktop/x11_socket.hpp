// The socket to the X11 display server that DISPLAY names, connected within a deadline. The
// forms taken are those of the X11 display name: a path to the server's socket, ":N" or "unix:N"
// for display N's local socket, and "host:N" for TCP port 6000 + N on that host; each may end in
// ".S" to choose screen S.
#pragma once

#include <optional>

#include "base/file_descriptor.hpp"
#include "bridge/platform/software/desktop/read_deadline.hpp"

namespace ktarn::platform::software {

struct DisplaySocket {
  FileDescriptor socket;  // connected, non-blocking, closed on exec
  int display = 0;        // the display number, under which the server's cookie is filed
  int screen = 0;
};

// Connects to the server the display name names; none when the name is empty or malformed, or
// no connection is made before the deadline.
std::optional<DisplaySocket> connect_display(const char* name, Deadline deadline);

}  // namespace ktarn::platform::software
