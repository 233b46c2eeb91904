// The desktop as an X11 display server shows it: the number of active monitors and the window
// that is active, with the process that owns it and its class name. The server named by DISPLAY
// is opened anew for each question and closed before the answer is returned. No DISPLAY, a
// server that cannot be reached, that goes away mid-question or does not answer in time, and a
// build without X11 all read as no monitors and no active window; nothing here ends the process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ktarn::platform::software {

struct ActiveWindow {
  std::int32_t pid = 0;                   // the owner's process id (_NET_WM_PID), at least 1
  std::optional<std::string> class_name;  // the class part of WM_CLASS, as UTF-8
};

// The number of active monitors of the display, 0 when there is none to ask.
std::uint32_t count_active_monitors();

// The active window of the display, or none when there is no display, no active window, or the
// window does not name its process.
std::optional<ActiveWindow> find_active_window();

}  // namespace ktarn::platform::software
