// The display backend of X11: the server DISPLAY names is opened anew for each question and closed
// before the answer is returned. Monitors are counted by the RandR extension (1.5 or later); the
// active window is the root window's _NET_ACTIVE_WINDOW, its process the window's _NET_WM_PID and
// its name the class part of WM_CLASS. A property is believed only when its reply holds the
// value it states.
#include <string_view>

#include "bridge/platform/software/desktop/display_backend.hpp"
#include "bridge/platform/software/desktop/x11_connection.hpp"

namespace ktarn::platform::software {
namespace {

// No window or atom; and the predefined atoms the desktop names.
constexpr std::uint32_t kNone = 0;
constexpr std::uint32_t kAtomCardinal = 6;
constexpr std::uint32_t kAtomString = 31;
constexpr std::uint32_t kAtomWindow = 33;
constexpr std::uint32_t kAtomWmClass = 67;

// RandR's requests, by their minor opcode, and the version that brought monitors.
constexpr std::uint8_t kRandrQueryVersion = 0;
constexpr std::uint8_t kRandrGetMonitors = 42;
constexpr std::uint32_t kMonitorsMajor = 1;
constexpr std::uint32_t kMonitorsMinor = 5;
// A monitor's fixed size in the list, and each of its outputs'.
constexpr std::size_t kMonitorSize = 24;
constexpr std::size_t kOutputSize = 4;

// WM_CLASS is read up to this many bytes: instance and class together, no shorter than a file
// name and far longer than any real class. A class that does not end within them is no name.
constexpr std::uint32_t kClassUnits = 256;

// Replies of a fixed size carry nothing past their 32-byte head.
constexpr std::size_t kFixedReply = 0;

struct Property {
  x11::Reply reply;
  std::uint32_t type = kNone;
  std::uint8_t format = 0;  // bits per item: 8, 16 or 32; 0 when the window lacks the property
  bool complete = true;     // no bytes lie past those read
  std::size_t length = 0;   // the value's bytes, which follow the reply's head

  std::string_view value() const {
    return {reinterpret_cast<const char*>(reply.data() + x11::kPacketSize), length};
  }
};

DisplayAnswer<std::uint32_t> intern_atom(X11Connection& connection, std::string_view name) {
  x11::Request request(x11::kInternAtom, 1);  // only if it exists: an unknown name is none
  request.card16(static_cast<std::uint16_t>(name.size())).card16(0).text(name);
  const DisplayAnswer<x11::Reply> reply = connection.ask(request, kFixedReply);
  if (!reply) return Unexpected(reply.error());
  return x11::card32(*reply, 8);
}

// Reads up to `units` 4-byte units of a property. The value's length, stated as a count of
// items, must be what the reply holds before its padding, and no more than was asked.
DisplayAnswer<Property> read_property(X11Connection& connection, std::uint32_t window,
                                      std::uint32_t atom, std::uint32_t type, std::uint32_t units) {
  x11::Request request(x11::kGetProperty, 0);
  request.card32(window).card32(atom).card32(type).card32(0).card32(units);
  DisplayAnswer<x11::Reply> reply = connection.ask(request, std::size_t{units} * 4);
  if (!reply) return Unexpected(reply.error());
  Property property;
  property.type = x11::card32(*reply, 8);
  property.format = (*reply)[1];
  property.complete = x11::card32(*reply, 12) == 0;
  if (property.format != 0 && property.format != 8 && property.format != 16 &&
      property.format != 32) {
    return Unexpected(DisplayFailure::kFalseReply);
  }
  const std::uint64_t length = std::uint64_t{x11::card32(*reply, 16)} * (property.format / 8);
  const std::size_t held = reply->size() - x11::kPacketSize;
  if (length > held || held - length >= 4) return Unexpected(DisplayFailure::kFalseReply);
  property.length = static_cast<std::size_t>(length);
  property.reply = std::move(*reply);
  return property;
}

// A 32-bit property's first item, or none when the server does not know the name, the window
// lacks the property or holds it in another type.
DisplayAnswer<std::optional<std::uint32_t>> read_first_item(X11Connection& connection,
                                                            std::uint32_t window,
                                                            std::string_view property_name,
                                                            std::uint32_t type) {
  const DisplayAnswer<std::uint32_t> atom = intern_atom(connection, property_name);
  if (!atom) return Unexpected(atom.error());
  if (*atom == kNone) return std::nullopt;
  const DisplayAnswer<Property> property = read_property(connection, window, *atom, type, 1);
  if (!property) return Unexpected(property.error());
  if (property->type != type || property->format != 32 || property->length < 4) {
    return std::nullopt;
  }
  return x11::card32(property->reply, x11::kPacketSize);
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
// the name. A whole value without the instance's end has an empty class part; a class that runs
// past the bytes read has none.
DisplayAnswer<std::optional<std::string>> read_class_name(X11Connection& connection,
                                                          std::uint32_t window) {
  const DisplayAnswer<Property> property =
      read_property(connection, window, kAtomWmClass, kAtomString, kClassUnits);
  if (!property) return Unexpected(property.error());
  if (property->type != kAtomString || property->format != 8) return std::nullopt;
  const std::string_view value = property->value();
  const std::string_view::size_type instance_end = value.find('\0');
  if (instance_end == std::string_view::npos) {
    if (!property->complete) return std::nullopt;
    return std::string();
  }
  const std::string_view rest = value.substr(instance_end + 1);
  const std::string_view::size_type class_end = rest.find('\0');
  if (class_end == std::string_view::npos && !property->complete) return std::nullopt;
  return utf8_from_latin1(rest.substr(0, class_end));
}

}  // namespace

DisplayAnswer<std::uint32_t> count_active_displays(Deadline deadline) {
  DisplayAnswer<X11Connection> connection = X11Connection::open(deadline);
  if (!connection) return Unexpected(connection.error());
  constexpr std::string_view kRandr = "RANDR";
  x11::Request query(x11::kQueryExtension, 0);
  query.card16(static_cast<std::uint16_t>(kRandr.size())).card16(0).text(kRandr);
  const DisplayAnswer<x11::Reply> extension = connection->ask(query, kFixedReply);
  if (!extension) return Unexpected(extension.error());
  if ((*extension)[8] == 0) return Unexpected(DisplayFailure::kNoAnswer);  // not present
  const std::uint8_t randr = (*extension)[9];

  x11::Request version_query(randr, kRandrQueryVersion);
  version_query.card32(kMonitorsMajor).card32(kMonitorsMinor);
  const DisplayAnswer<x11::Reply> version = connection->ask(version_query, kFixedReply);
  if (!version) return Unexpected(version.error());
  const std::uint32_t major = x11::card32(*version, 8);
  if (major < kMonitorsMajor ||
      (major == kMonitorsMajor && x11::card32(*version, 12) < kMonitorsMinor)) {
    return Unexpected(DisplayFailure::kNoAnswer);
  }

  x11::Request monitors_query(randr, kRandrGetMonitors);
  monitors_query.card32(connection->root()).card8(1).card8(0).card16(0);  // active ones only
  const DisplayAnswer<x11::Reply> monitors = connection->ask(monitors_query, kQuestionBudget);
  if (!monitors) return Unexpected(monitors.error());
  // The count is believed only when the list that follows is exactly as long as it says.
  const std::uint32_t count = x11::card32(*monitors, 12);
  const std::uint64_t listed =
      std::uint64_t{count} * kMonitorSize + std::uint64_t{x11::card32(*monitors, 16)} * kOutputSize;
  if (listed != monitors->size() - x11::kPacketSize) return Unexpected(DisplayFailure::kFalseReply);
  return count;
}

DisplayAnswer<std::optional<ActiveWindow>> find_active_window(Deadline deadline) {
  DisplayAnswer<X11Connection> connection = X11Connection::open(deadline);
  if (!connection) return Unexpected(connection.error());
  const auto window =
      read_first_item(*connection, connection->root(), "_NET_ACTIVE_WINDOW", kAtomWindow);
  if (!window) return Unexpected(window.error());
  if (!*window || **window == kNone) return std::nullopt;
  const auto pid = read_first_item(*connection, **window, "_NET_WM_PID", kAtomCardinal);
  if (!pid) return Unexpected(pid.error());
  if (!*pid || **pid == 0 || **pid > 0x7FFFFFFFU) return std::nullopt;
  auto class_name = read_class_name(*connection, **window);
  if (!class_name) return Unexpected(class_name.error());
  return ActiveWindow{static_cast<std::int32_t>(**pid), std::move(*class_name)};
}

}  // namespace ktarn::platform::software
