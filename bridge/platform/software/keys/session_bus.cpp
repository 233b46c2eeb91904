#include "bridge/platform/software/keys/session_bus.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace ktarn::platform::software {

namespace {

// No message the service sends this client comes near these: a hostile peer on the bus buys a
// bounded queue, after which the connection stops reading and the use times out.
constexpr long kMaxMessageBytes = 64 * 1024;
constexpr long kMaxQueuedBytes = 256 * 1024;

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kServiceSignals = "type='signal',sender='org.freedesktop.secrets'";
constexpr const char* kOwnerChanges =
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg0='org.freedesktop.secrets'";

// An address value escaped as the bus address syntax wants: bytes outside its safe set as %XX.
std::string escaped(std::string_view value) {
  static constexpr std::string_view kSafe =
      "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_/.\\*";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : value) {
    if (kSafe.find(c) != std::string_view::npos) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    }
  }
  return out;
}

// Whether any of the address's ';'-separated entries uses the transport that launches a bus.
bool launches_a_bus(std::string_view address) {
  while (true) {
    const auto end = address.find(';');
    if (address.substr(0, end).starts_with("autolaunch:")) return true;
    if (end == std::string_view::npos) return false;
    address.remove_prefix(end + 1);
  }
}

int milliseconds_left(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  // libdbus takes 0 for "wait not at all" only where it reads; a call needs at least a tick.
  return static_cast<int>(std::max<long long>(left.count(), 1));
}

class CallError {
 public:
  explicit CallError(const DbusFunctions& dbus) : dbus_(dbus) { dbus_.error_init(&error_); }
  ~CallError() { dbus_.error_free(&error_); }
  CallError(const CallError&) = delete;
  CallError& operator=(const CallError&) = delete;
  DBusError* get() { return &error_; }

 private:
  const DbusFunctions& dbus_;
  DBusError error_;
};

}  // namespace

void release_message(DBusMessage* message) {
  dbus_functions()->message_unref(message);
}

void release_connection(DBusConnection* connection) {
  dbus_functions()->connection_close(connection);
  dbus_functions()->connection_unref(connection);
}

std::optional<std::string> session_bus_address() {
  const char* named = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (named != nullptr && named[0] != '\0') {
    if (launches_a_bus(named)) return std::nullopt;
    return std::string(named);
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/') return std::nullopt;
  const std::string socket = std::string(runtime) + "/bus";
  struct stat info {};
  if (::stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
  return "unix:path=" + escaped(socket);
}

std::optional<SessionBus> SessionBus::connect(const std::string& address, Deadline deadline) {
  const DbusFunctions* dbus = dbus_functions();
  if (dbus == nullptr) return std::nullopt;
  CallError error(*dbus);
  Connection connection(dbus->connection_open_private(address.c_str(), error.get()));
  if (!connection) return std::nullopt;
  // A bus that goes away ends the keyring's answers, not the process.
  dbus->connection_set_exit_on_disconnect(connection.get(), FALSE);
  dbus->connection_set_max_message_size(connection.get(), kMaxMessageBytes);
  dbus->connection_set_max_received_size(connection.get(), kMaxQueuedBytes);
  dbus->connection_set_max_message_unix_fds(connection.get(), 0);
  SessionBus bus(*dbus, std::move(connection));
  // Registering by hand rather than through dbus_bus_register, whose Hello waits libdbus's
  // default 25 s: here it waits no longer than the use it belongs to.
  Message hello = bus.call_bus("Hello", nullptr, "s", deadline);
  if (!hello) return std::nullopt;
  DBusMessageIter reply;
  const char* name = nullptr;
  dbus->message_iter_init(hello.get(), &reply);
  dbus->message_iter_get_basic(&reply, &name);
  if (!dbus->bus_set_unique_name(bus.connection_.get(), name)) return std::nullopt;
  // Subscribed before anything is asked of the service: whatever changes after an answer is read
  // is then sure to be signalled to this connection.
  if (!bus.call_bus("AddMatch", kServiceSignals, "", deadline) ||
      !bus.call_bus("AddMatch", kOwnerChanges, "", deadline)) {
    return std::nullopt;
  }
  bus.drain();
  return bus;
}

bool SessionBus::connected() const {
  return dbus_->connection_get_is_connected(connection_.get()) != FALSE;
}

SessionBus::News SessionBus::drain() {
  News news;
  if (connected()) dbus_->connection_read_write(connection_.get(), 0);
  while (Message message{dbus_->connection_pop_message(connection_.get())}) {
    if (dbus_->message_get_type(message.get()) != DBUS_MESSAGE_TYPE_SIGNAL) continue;
    news.anything = true;
    news.owner_changed =
        news.owner_changed || dbus_->message_is_signal(message.get(), kBusName, "NameOwnerChanged");
  }
  if (!connected()) news = {true, true};
  return news;
}

Message SessionBus::method_call(const char* path, const char* interface, const char* method) const {
  Message request(dbus_->message_new_method_call(kSecretServiceName, path, interface, method));
  if (request) dbus_->message_set_auto_start(request.get(), FALSE);
  return request;
}

Message SessionBus::call(const Message& request, const char* signature, Deadline deadline) const {
  if (!request) return nullptr;
  CallError error(*dbus_);
  Message reply(dbus_->connection_send_with_reply_and_block(
      connection_.get(), request.get(), milliseconds_left(deadline), error.get()));
  if (!reply || !dbus_->message_has_signature(reply.get(), signature)) return nullptr;
  return reply;
}

// One call to the bus itself, with at most one string argument.
Message SessionBus::call_bus(const char* method, const char* argument, const char* signature,
                             Deadline deadline) const {
  Message request(
      dbus_->message_new_method_call(kBusName, "/org/freedesktop/DBus", kBusName, method));
  if (!request) return nullptr;
  if (argument != nullptr) {
    DBusMessageIter arguments;
    dbus_->message_iter_init_append(request.get(), &arguments);
    if (!dbus_->message_iter_append_basic(&arguments, DBUS_TYPE_STRING, &argument)) return nullptr;
  }
  return call(request, signature, deadline);
}

}  // namespace ktarn::platform::software
