// The socket to the X11 display server that DISPLAY names, connected within a deadline. The
// forms taken are those of the X11 display name: a path to the server's socket, ":N" or "unix:N"
// for display N's local socket, and "host:N" for TCP port 6000 + N on that host; each may end in
// ".S" to choose screen S.
#pragma once

#include <chrono>
#include <optional>
#include <utility>

namespace ktarn::platform::software {

using Deadline = std::chrono::steady_clock::time_point;

// Whole milliseconds left until the deadline, rounded up; 0 once it has passed.
int milliseconds_left(Deadline deadline);

// An open descriptor, closed exactly once unless released.
class OwnedDescriptor {
 public:
  OwnedDescriptor() = default;
  explicit OwnedDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~OwnedDescriptor();
  OwnedDescriptor(OwnedDescriptor&& other) noexcept : descriptor_(other.release()) {}
  OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept;
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

  int get() const { return descriptor_; }
  bool valid() const { return descriptor_ >= 0; }
  // Hands the descriptor to a new owner; this one then holds none.
  int release() { return std::exchange(descriptor_, -1); }

 private:
  int descriptor_ = -1;
};

struct DisplaySocket {
  OwnedDescriptor socket;  // connected, non-blocking, closed on exec
  int display = 0;         // the display number, under which the server's cookie is filed
  int screen = 0;
};

// Connects to the server the display name names; none when the name is empty or malformed, or
// no connection is made before the deadline.
std::optional<DisplaySocket> connect_display(const char* name, Deadline deadline);

}  // namespace ktarn::platform::software
