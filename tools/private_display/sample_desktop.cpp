// The sample session's desktop: a private X server with one small window of this process in the
// foreground, as a window manager would show it. Prints the display name (":N") on a line once
// both are up, then keeps them until it is asked to stop (SIGTERM, SIGINT, SIGHUP, or its parent
// ending), and stops the server.
//
// usage: sample-desktop   (exit status 1, with one line on standard error, when no display came up)
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

#include "tools/private_display/xvfb_server.hpp"

int main() {
  // The stop signals are taken in turn below, so that the window and the server are closed.
  sigset_t stop;
  sigemptyset(&stop);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stop, signal);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() == 1) return 1;  // the parent was already gone
  using ktarn::private_display::ActiveWindow;
  using ktarn::private_display::XvfbServer;
  if (!ktarn::private_display::xvfb_available()) {
    std::fputs("sample-desktop: no Xvfb installed (Debian package xvfb)\n", stderr);
    return 1;
  }
  const XvfbServer server;
  if (server.display_name().empty()) {
    std::fputs("sample-desktop: Xvfb did not start\n", stderr);
    return 1;
  }
  const ActiveWindow window(server.display_name(), getpid(), "sample-desktop", "SampleDesktop");
  if (!window.ready()) {
    std::fputs("sample-desktop: no window could be opened on the private display\n", stderr);
    return 1;
  }
  std::printf("%s\n", server.display_name().c_str());
  std::fflush(stdout);
  int received = 0;
  sigwait(&stop, &received);
  return 0;
}
