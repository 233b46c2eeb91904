// A private connection of this process to the user's session bus, through libdbus loaded on first
// use, for asking the Secret Service. Nothing on it is ever started for this process: the address
// is taken as the session names it (never one that would launch a bus), and every call is sent
// with activation off, so a name nobody owns fails the call at once. Every call is bounded by the
// deadline of the use it belongs to, and what a peer may send is bounded in size, so a service
// that hangs or floods costs a bounded wait and a bounded amount of memory. The connection takes
// every signal the Secret Service's owner sends and every change of that owner, which is what lets
// an answer read through it be reused until one of them arrives.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "base/c_handle.hpp"
#include "bridge/platform/software/keys/dbus_functions.hpp"

namespace ktarn::platform::software {

void release_message(DBusMessage* message);
void release_connection(DBusConnection* connection);
using Message = CHandle<DBusMessage, release_message>;
using Connection = CHandle<DBusConnection, release_connection>;

// The time by which one use of the service has all its answers or gives up.
using Deadline = std::chrono::steady_clock::time_point;

inline constexpr const char* kSecretServiceName = "org.freedesktop.secrets";

// DBUS_SESSION_BUS_ADDRESS, else the user's bus socket in XDG_RUNTIME_DIR when it exists; none
// when neither names a bus, or when the address would have a bus launched (autolaunch).
std::optional<std::string> session_bus_address();

class SessionBus {
 public:
  // Connected to the address, registered with the bus and subscribed, before the deadline; none
  // when libdbus is missing or any step fails.
  static std::optional<SessionBus> connect(const std::string& address, Deadline deadline);

  // What arrived since the last look: whether any signal did (of the service, of its owner
  // changing) or the connection ended, that is whether an answer read earlier through this bus
  // may no longer hold; and whether the service's owner is another now (or gone), which ends
  // every session opened with the one before.
  struct News {
    bool anything = false;
    bool owner_changed = false;
  };
  // Reads whatever arrived meanwhile without waiting, drops it and says what it was.
  News drain();
  bool connected() const;

  // A call of the method on the Secret Service's object at path, activation off; the request to
  // fill in with arguments.
  Message method_call(const char* path, const char* interface, const char* method) const;
  // The reply to the request, when it is a reply (not an error) with exactly the signature and
  // arrives before the deadline.
  Message call(const Message& request, const char* signature, Deadline deadline) const;

  const DbusFunctions& dbus() const { return *dbus_; }

 private:
  SessionBus(const DbusFunctions& dbus, Connection connection)
      : dbus_(&dbus), connection_(std::move(connection)) {}
  Message call_bus(const char* method, const char* argument, const char* signature,
                   Deadline deadline) const;

  const DbusFunctions* dbus_;
  Connection connection_;
};

}  // namespace ktarn::platform::software
