// A deadline for every wait on a socket's answers, for a library that waits without one. When the
// time comes, a one-shot timer signal shuts the socket's reading side: a read blocked on it, or
// begun later, then returns as if the peer had gone, and the library reports its connection
// broken. Writing is left alone, so nothing raises SIGPIPE. No thread is kept: the process's
// interval timer (ITIMER_REAL) and its SIGALRM action serve for the deadline's lifetime, and both,
// with the signal mask, are restored afterwards. The companion uses neither of them otherwise;
// only one deadline may exist at a time.
#pragma once

#include <signal.h>
#include <sys/time.h>

#include "bridge/platform/software/desktop/x11_socket.hpp"

namespace ktarn::platform::software {

class SocketReadDeadline {
 public:
  SocketReadDeadline(int socket, Deadline deadline);
  ~SocketReadDeadline();  // disarms the timer before the socket can be closed
  SocketReadDeadline(const SocketReadDeadline&) = delete;
  SocketReadDeadline& operator=(const SocketReadDeadline&) = delete;

 private:
  struct sigaction previous_action_ {};
  itimerval previous_timer_{};
  sigset_t previous_mask_{};
};

}  // namespace ktarn::platform::software
