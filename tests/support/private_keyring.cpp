#include "support/private_keyring.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

#include <gio/gio.h>

#include "support/on_path.hpp"

namespace ktarn::testing {
namespace {

constexpr std::string_view kPassword = "throw-away keyring password";
constexpr const char* kService = "org.freedesktop.secrets";
constexpr const char* kCollection = "/org/freedesktop/secrets/collection/login";
constexpr auto kStartDeadline = std::chrono::seconds(10);

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

// A session bus that listens in the fixture's folder and can start only the prompter stand-ins.
std::string bus_configuration(const std::string& folder) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>session</type><listen>unix:tmpdir=" +
         folder + "</listen><servicedir>" + folder +
         "/services</servicedir><policy context=\"default\"><allow send_destination=\"*\"/><allow "
         "receive_sender=\"*\"/>"
         "<allow own=\"*\"/></policy></busconfig>\n";
}

std::string prompter_service(const std::string& name, const std::string& marker) {
  return "[D-BUS Service]\nName=" + name + "\nExec=/bin/sh -c 'echo " + name + " >> " + marker +
         "'\n";
}

std::string read_line(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

void stop_process(pid_t& pid, int signal) {
  if (pid <= 0) return;
  ::kill(pid, signal);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

// One call to the service on a connection of its own, or nullptr with the failure.
GVariant* call(GDBusConnection* bus, const char* interface, const char* method,
               GVariant* arguments) {
  return g_dbus_connection_call_sync(bus, kService, "/org/freedesktop/secrets", interface, method,
                                     arguments, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000,
                                     nullptr, nullptr);
}

}  // namespace

std::string private_keyring_missing() {
  if (!on_path("dbus-daemon")) return "dbus-daemon is not installed";
  if (!on_path("gnome-keyring-daemon")) return "gnome-keyring-daemon is not installed";
  return {};
}

PrivateKeyring::PrivateKeyring() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ktarn-keyring-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return;
  folder_ = pattern;
  std::error_code ignored;
  for (const char* sub : {"/home", "/run", "/services"}) {
    std::filesystem::create_directory(folder_ + sub, ignored);
  }
  std::filesystem::permissions(folder_ + "/run", std::filesystem::perms::owner_all, ignored);
  write_file(folder_ + "/bus.conf", bus_configuration(folder_));
  for (const char* name :
       {"org.gnome.keyring.SystemPrompter", "org.gnome.keyring.PrivatePrompter"}) {
    write_file(folder_ + "/services/" + name + ".service",
               prompter_service(name, folder_ + "/prompter-started"));
  }
  int address[2];
  if (::pipe2(address, O_CLOEXEC) != 0) return;
  bus_pid_ = ::fork();
  if (bus_pid_ == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
    ::dup2(address[1], 3);
    const std::string config = "--config-file=" + folder_ + "/bus.conf";
    ::execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile",
             "--print-address=3", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(address[1]);
  bus_address_ = read_line(address[0]);
  ::close(address[0]);
  if (bus_pid_ < 0 || bus_address_.empty() || !start()) stop_process(bus_pid_, SIGTERM);
}

PrivateKeyring::~PrivateKeyring() {
  stop_process(keyring_pid_, SIGTERM);
  stop_process(bus_pid_, SIGTERM);
  if (folder_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

// The daemon makes the login collection on its first start and unlocks it with the password it
// reads from standard input.
bool PrivateKeyring::start() {
  int input[2];
  if (bus_address_.empty() || ::pipe2(input, O_CLOEXEC) != 0) return false;
  keyring_pid_ = ::fork();
  if (keyring_pid_ == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(input[0], 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_address_.c_str(), 1);
    ::setenv("HOME", (folder_ + "/home").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (folder_ + "/run").c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("DISPLAY");
    ::execlp("gnome-keyring-daemon", "gnome-keyring-daemon", "--foreground", "--components=secrets",
             "--unlock", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(input[0]);
  const bool written = ::write(input[1], kPassword.data(), kPassword.size()) ==
                       static_cast<ssize_t>(kPassword.size());
  ::close(input[1]);
  const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
  while (written && keyring_pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(keyring_pid_, nullptr, WNOHANG) != 0) {
      keyring_pid_ = -1;
      break;
    }
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        bus_address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GVariant* alias = bus ? call(bus, "org.freedesktop.Secret.Service", "ReadAlias",
                                 g_variant_new("(s)", "default"))
                          : nullptr;
    const bool ready =
        alias != nullptr && std::string_view(g_variant_get_type_string(alias)) == "(o)" && [alias] {
          const char* path = nullptr;
          g_variant_get(alias, "(&o)", &path);
          return std::string_view(path) == kCollection;
        }();
    if (alias != nullptr) g_variant_unref(alias);
    if (bus != nullptr) g_object_unref(bus);
    if (ready) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop_process(keyring_pid_, SIGKILL);
  return false;
}

void PrivateKeyring::pause() {
  if (keyring_pid_ > 0) ::kill(keyring_pid_, SIGSTOP);
}

void PrivateKeyring::resume() {
  if (keyring_pid_ > 0) ::kill(keyring_pid_, SIGCONT);
}

void PrivateKeyring::kill_keyring() {
  stop_process(keyring_pid_, SIGKILL);
}

bool PrivateKeyring::lock() {
  return call_service("org.freedesktop.Secret.Service", "Lock", false);
}

bool PrivateKeyring::unlock() {
  return call_service("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                      "UnlockWithMasterPassword", true);
}

// Unlocking hands the password over in a session opened on the same connection.
bool PrivateKeyring::call_service(const std::string& interface, const std::string& method,
                                  bool with_password) {
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      bus_address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (bus == nullptr) return false;
  GVariant* reply = nullptr;
  if (!with_password) {
    const char* collections[] = {kCollection, nullptr};
    reply = call(bus, interface.c_str(), method.c_str(),
                 g_variant_new("(^ao)", const_cast<char**>(collections)));
  } else if (GVariant* session = call(bus, "org.freedesktop.Secret.Service", "OpenSession",
                                      g_variant_new("(sv)", "plain", g_variant_new_string("")))) {
    GVariant* output = nullptr;
    const char* session_path = nullptr;
    g_variant_get(session, "(v&o)", &output, &session_path);
    GVariant* no_parameters = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1);
    GVariant* password =
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, kPassword.data(), kPassword.size(), 1);
    reply = call(bus, interface.c_str(), method.c_str(),
                 g_variant_new("(o(o@ay@ays))", kCollection, session_path, no_parameters, password,
                               "text/plain"));
    g_variant_unref(output);
    g_variant_unref(session);
  }
  const bool done = reply != nullptr;
  if (reply != nullptr) g_variant_unref(reply);
  g_object_unref(bus);
  return done;
}

bool PrivateKeyring::delete_items() {
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      bus_address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (bus == nullptr) return false;
  GVariant* items = g_dbus_connection_call_sync(
      bus, kService, kCollection, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Items"), nullptr,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);
  bool done = items != nullptr;
  if (items != nullptr) {
    GVariant* boxed = nullptr;
    g_variant_get(items, "(v)", &boxed);
    GVariantIter iterator;
    g_variant_iter_init(&iterator, boxed);
    const char* path = nullptr;
    while (g_variant_iter_next(&iterator, "&o", &path)) {
      GVariant* deleted = g_dbus_connection_call_sync(
          bus, kService, path, "org.freedesktop.Secret.Item", "Delete", nullptr, nullptr,
          G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);
      done = done && deleted != nullptr;
      if (deleted != nullptr) g_variant_unref(deleted);
    }
    g_variant_unref(boxed);
    g_variant_unref(items);
  }
  g_object_unref(bus);
  return done;
}

bool PrivateKeyring::prompter_started() const {
  return std::filesystem::exists(folder_ + "/prompter-started");
}

}  // namespace ktarn::testing
