#include "bridge/platform/software/x11_display.hpp"

#ifdef KTARN_WITH_X11

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include "bridge/platform/software/x11_connection.hpp"

namespace ktarn::platform::software {
namespace {

// A 32-bit property's first item, or none when the window lacks it or the server refused.
std::optional<unsigned long> read_first_item(X11Connection& connection, Window window,
                                             const char* property_name, Atom type) {
  Display* display = connection.display();
  if (display == nullptr) return std::nullopt;
  const Atom property = XInternAtom(display, property_name, True);
  if (property == None || !connection.alive()) return std::nullopt;
  Atom actual_type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display, window, property, 0, 1, False, type, &actual_type,
                                        &format, &items, &remaining, &data);
  std::optional<unsigned long> value;
  if (status == Success && actual_type == type && format == 32 && items >= 1) {
    value = reinterpret_cast<const unsigned long*>(data)[0];  // 32-bit items arrive as longs
  }
  if (data != nullptr) XFree(data);
  if (!connection.alive()) return std::nullopt;
  return value;
}

// WM_CLASS is Latin-1 text; the bridge hands names on as UTF-8.
std::string utf8_from_latin1(const char* text) {
  std::string utf8;
  for (const char* at = text; *at != '\0'; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte < 0x80) {
      utf8.push_back(static_cast<char>(byte));
    } else {
      utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return utf8;
}

std::optional<std::string> read_class_name(X11Connection& connection, Window window) {
  Display* display = connection.display();
  if (display == nullptr) return std::nullopt;
  XClassHint hint{nullptr, nullptr};
  const Status found = XGetClassHint(display, window, &hint);
  std::optional<std::string> name;
  if (found != 0 && hint.res_class != nullptr) name = utf8_from_latin1(hint.res_class);
  if (hint.res_name != nullptr) XFree(hint.res_name);
  if (hint.res_class != nullptr) XFree(hint.res_class);
  if (!connection.alive()) return std::nullopt;
  return name;
}

}  // namespace

std::uint32_t count_active_monitors() {
  X11Connection connection;
  Display* display = connection.display();
  if (display == nullptr) return 0;
  int event_base = 0;
  int error_base = 0;
  int major = 0;
  int minor = 0;
  // Monitors arrived with version 1.5 of the extension.
  if (!XRRQueryExtension(display, &event_base, &error_base) ||
      !XRRQueryVersion(display, &major, &minor) || (major == 1 && minor < 5) || major < 1 ||
      !connection.alive()) {
    return 0;
  }
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  if (monitors != nullptr) XRRFreeMonitors(monitors);
  if (!connection.alive() || monitors == nullptr || count < 0) return 0;
  return static_cast<std::uint32_t>(count);
}

std::optional<ActiveWindow> find_active_window() {
  X11Connection connection;
  Display* display = connection.display();
  if (display == nullptr) return std::nullopt;
  const std::optional<unsigned long> window =
      read_first_item(connection, DefaultRootWindow(display), "_NET_ACTIVE_WINDOW", XA_WINDOW);
  if (!window || *window == None) return std::nullopt;
  const std::optional<unsigned long> pid =
      read_first_item(connection, *window, "_NET_WM_PID", XA_CARDINAL);
  if (!pid || *pid == 0 || *pid > 0x7FFFFFFFUL) return std::nullopt;
  ActiveWindow active{static_cast<std::int32_t>(*pid), read_class_name(connection, *window)};
  if (!connection.alive()) return std::nullopt;
  return active;
}

}  // namespace ktarn::platform::software

#else

namespace ktarn::platform::software {

std::uint32_t count_active_monitors() {
  return 0;
}

std::optional<ActiveWindow> find_active_window() {
  return std::nullopt;
}

}  // namespace ktarn::platform::software

#endif
