#include "bridge/platform/software/desktop/x11_display.hpp"

#ifdef KTARN_WITH_X11

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstring>
#include <string_view>

#include "bridge/platform/software/desktop/x11_connection.hpp"

namespace ktarn::platform::software {
namespace {

// WM_CLASS is read up to this many 32-bit units, which no real class name comes near.
constexpr std::uint32_t kClassUnits = 8192;

// A 32-bit property's first item, or none when the window lacks it or the server refused.
std::optional<std::uint32_t> read_first_item(X11Connection& connection, xcb_window_t window,
                                             std::string_view property_name, xcb_atom_t type) {
  xcb_connection_t* server = connection.get();
  if (server == nullptr) return std::nullopt;
  const auto atom =
      connection.reply(xcb_intern_atom(server, 1, static_cast<std::uint16_t>(property_name.size()),
                                       property_name.data()),
                       xcb_intern_atom_reply);
  if (!atom || atom->atom == XCB_ATOM_NONE) return std::nullopt;
  const auto property = connection.reply(
      xcb_get_property(server, 0, window, atom->atom, type, 0, 1), xcb_get_property_reply);
  if (!property || property->type != type || property->format != 32 || property->value_len < 1) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  std::memcpy(&value, xcb_get_property_value(property.get()), sizeof value);
  return value;
}

// WM_CLASS is Latin-1 text; the bridge hands names on as UTF-8.
std::string utf8_from_latin1(std::string_view text) {
  std::string utf8;
  for (const char at : text) {
    const auto byte = static_cast<unsigned char>(at);
    if (byte < 0x80) {
      utf8.push_back(static_cast<char>(byte));
    } else {
      utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return utf8;
}

// WM_CLASS holds two NUL-terminated strings, the instance and then the class; the class part is
// the name. A value without the instance's end has an empty class part.
std::optional<std::string> read_class_name(X11Connection& connection, xcb_window_t window) {
  xcb_connection_t* server = connection.get();
  if (server == nullptr) return std::nullopt;
  const auto property = connection.reply(
      xcb_get_property(server, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, kClassUnits),
      xcb_get_property_reply);
  if (!property || property->type != XCB_ATOM_STRING || property->format != 8) {
    return std::nullopt;
  }
  const std::string_view value(
      static_cast<const char*>(xcb_get_property_value(property.get())),
      static_cast<std::size_t>(xcb_get_property_value_length(property.get())));
  const std::string_view::size_type instance_end = value.find('\0');
  if (instance_end == std::string_view::npos) return std::string();
  const std::string_view rest = value.substr(instance_end + 1);
  return utf8_from_latin1(rest.substr(0, rest.find('\0')));
}

}  // namespace

std::uint32_t count_active_monitors() {
  X11Connection connection;
  xcb_connection_t* server = connection.get();
  if (server == nullptr) return 0;
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(server, &xcb_randr_id);
  if (extension == nullptr || extension->present == 0) return 0;
  const auto version =
      connection.reply(xcb_randr_query_version(server, 1, 5), xcb_randr_query_version_reply);
  // Monitors arrived with version 1.5 of the extension.
  if (!version || version->major_version < 1 ||
      (version->major_version == 1 && version->minor_version < 5)) {
    return 0;
  }
  const auto monitors = connection.reply(xcb_randr_get_monitors(server, connection.root(), 1),
                                         xcb_randr_get_monitors_reply);
  return monitors ? monitors->nMonitors : 0;
}

std::optional<ActiveWindow> find_active_window() {
  X11Connection connection;
  if (connection.get() == nullptr) return std::nullopt;
  const std::optional<std::uint32_t> window =
      read_first_item(connection, connection.root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW);
  if (!window || *window == XCB_NONE) return std::nullopt;
  const std::optional<std::uint32_t> pid =
      read_first_item(connection, *window, "_NET_WM_PID", XCB_ATOM_CARDINAL);
  if (!pid || *pid == 0 || *pid > 0x7FFFFFFFU) return std::nullopt;
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
