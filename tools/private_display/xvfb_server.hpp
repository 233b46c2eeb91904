// A private X11 display server, and a window on it that the root names as the active one: what a
// desktop session would show the companion, without touching the user's own display. The tests
// and the sample session use it; built only where the X11 client library is available.
#pragma once

#include <sys/types.h>

#include <string>

namespace ktarn::private_display {

// Whether this machine can run the private server at all.
bool xvfb_available();

class XvfbServer {
 public:
  // Starts the server on a free display number; with an authority file, it admits only clients
  // that present one of the file's cookies.
  explicit XvfbServer(const std::string& authority_file = {});
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", or empty when the server did not come up.
  const std::string& display_name() const { return display_name_; }

 private:
  pid_t pid_ = -1;
  std::string display_name_;
};

// A window owned by the given process (_NET_WM_PID) with the given WM_CLASS, made the root's
// _NET_ACTIVE_WINDOW. It lives as long as this object holds its connection.
class ActiveWindow {
 public:
  ActiveWindow(const std::string& display_name, pid_t owner, const std::string& instance,
               const std::string& window_class);
  ~ActiveWindow();
  ActiveWindow(const ActiveWindow&) = delete;
  ActiveWindow& operator=(const ActiveWindow&) = delete;

  bool ready() const { return ready_; }

 private:
  void* display_ = nullptr;  // the Xlib display, kept opaque so that users need no X11 headers
  bool ready_ = false;
};

}  // namespace ktarn::private_display
