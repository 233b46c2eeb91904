#ifdef KTARN_WITH_X11

#include "bridge/platform/software/desktop/socket_read_deadline.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace ktarn::platform::software {
namespace {

volatile sig_atomic_t watched_socket = -1;

// Runs in the signal: shutdown is safe there, and errno is kept for the code it interrupted.
void shut_reading_side(int /*signal*/) {
  const int saved = errno;
  const int socket = watched_socket;
  if (socket >= 0) shutdown(socket, SHUT_RD);
  errno = saved;
}

}  // namespace

SocketReadDeadline::SocketReadDeadline(int socket, Deadline deadline) {
  watched_socket = socket;
  struct sigaction action {};
  action.sa_handler = shut_reading_side;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // calls elsewhere carry on; the library's waits are woken anyway
  sigaction(SIGALRM, &action, &previous_action_);
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarm, &previous_mask_);
  // A timer of zero would be no timer at all: a deadline already passed takes effect at once.
  const auto left = std::chrono::ceil<std::chrono::microseconds>(
      std::max(deadline - std::chrono::steady_clock::now(),
               std::chrono::steady_clock::duration(std::chrono::microseconds(1))));
  itimerval timer{};
  timer.it_value.tv_sec = static_cast<time_t>(left.count() / 1000000);
  timer.it_value.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
  setitimer(ITIMER_REAL, &timer, &previous_timer_);
}

SocketReadDeadline::~SocketReadDeadline() {
  // Once the timer is disarmed and the signal unblocked, any alarm it raised has been handled.
  const itimerval stopped{};
  setitimer(ITIMER_REAL, &stopped, nullptr);
  watched_socket = -1;
  sigprocmask(SIG_SETMASK, &previous_mask_, nullptr);
  sigaction(SIGALRM, &previous_action_, nullptr);
  setitimer(ITIMER_REAL, &previous_timer_, nullptr);
}

}  // namespace ktarn::platform::software

#endif
