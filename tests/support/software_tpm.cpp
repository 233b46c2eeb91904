#include "support/software_tpm.hpp"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include <openssl/crypto.h>

#include "support/on_path.hpp"

namespace ktarn::testing {
namespace {

constexpr const char* kTctiVariable = "TPM2OPENSSL_TCTI";
constexpr int kPortAttempts = 20;
constexpr auto kStartDeadline = std::chrono::seconds(10);

// The folder OpenSSL loads provider modules from: OPENSSL_MODULES, else the one it was built with
// (reported as MODULESDIR: "folder").
std::string modules_folder() {
  if (const char* folder = std::getenv("OPENSSL_MODULES"); folder != nullptr) return folder;
  std::string_view built = OpenSSL_version(OPENSSL_MODULES_DIR);
  const auto open = built.find('"');
  const auto close = built.rfind('"');
  if (open == std::string_view::npos || close <= open) return {};
  return std::string(built.substr(open + 1, close - open - 1));
}

bool loadable(const char* library) {
  void* handle = ::dlopen(library, RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return false;
  ::dlclose(handle);
  return true;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port whose successor is free as well, found by binding both; zero when none turned up.
int free_port_pair() {
  const int first = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int second = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  int port = 0;
  if (first >= 0 && second >= 0 &&
      ::bind(first, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(first, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
    sockaddr_in next = loopback(port + 1);
    if (port >= 65535 || ::bind(second, reinterpret_cast<sockaddr*>(&next), sizeof next) != 0) {
      port = 0;
    }
  }
  if (first >= 0) ::close(first);
  if (second >= 0) ::close(second);
  return port;
}

bool accepts_connections(int port) {
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0) return false;
  sockaddr_in address = loopback(port);
  const bool connected =
      ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(client);
  return connected;
}

[[noreturn]] void run_swtpm(const std::string& state_folder, int port) {
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  const std::string state = "dir=" + state_folder;
  const std::string server = "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(port);
  const std::string control = "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(port + 1);
  ::execlp("swtpm", "swtpm", "socket", "--tpm2", "--tpmstate", state.c_str(), "--server",
           server.c_str(), "--ctrl", control.c_str(), "--flags", "not-need-init,startup-clear",
           static_cast<char*>(nullptr));
  ::_exit(127);
}

std::string make_state_folder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ktarn-tpm-XXXXXX").string();
  return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// Debian installs the manager outside a user's PATH.
constexpr const char* kManager = "/usr/sbin/tpm2-abrmd";
constexpr const char* kManagerName = "com.intel.tss2.Tabrmd";

[[noreturn]] void run_bus(int address_fd) {
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  ::dup2(address_fd, 3);
  ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
           "--print-address=3", static_cast<char*>(nullptr));
  ::_exit(127);
}

[[noreturn]] void run_manager(const std::string& bus_address, const std::string& tcti) {
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_address.c_str(), 1);
  const std::string tcti_option = "--tcti=" + tcti;
  // Root is allowed because test machines often run as root; the manager then serves only this
  // private bus. Its own default of 27 connections is raised to its most, nearer the kernel's
  // manager, which has no such limit: each companion keeps two (the provider's and its own, to
  // make keys), and the tests run many companions at once.
  constexpr const char* kConnections = "--max-connections=100";
  ::execl(kManager, "tpm2-abrmd", "--session", "--allow-root", "--flush-all", kConnections,
          tcti_option.c_str(), static_cast<char*>(nullptr));
  ::execlp("tpm2-abrmd", "tpm2-abrmd", "--session", "--allow-root", "--flush-all", kConnections,
           tcti_option.c_str(), static_cast<char*>(nullptr));
  ::_exit(127);
}

// Whether every thread of the process has stopped: a stop signal takes effect in each thread only
// once it is scheduled, and a thread still running could answer one more command meanwhile.
bool all_threads_stopped(pid_t pid) {
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t state = line.rfind(')');
    if (state == std::string::npos || state + 2 >= line.size() || line[state + 2] != 'T') {
      return false;
    }
  }
  return !error;
}

// Stops the process and waits, up to a few seconds, until each of its threads has.
void stop_process(pid_t pid) {
  ::kill(pid, SIGSTOP);
  for (int i = 0; i < 500 && !all_threads_stopped(pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string read_line(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

// Whether the manager owns its name on the bus before the deadline, asked with dbus-send.
bool wait_for_manager(const std::string& bus_address, pid_t manager) {
  const std::string command = "DBUS_SESSION_BUS_ADDRESS='" + bus_address +
                              "' dbus-send --session --print-reply --dest=org.freedesktop.DBus "
                              "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:" +
                              kManagerName + " 2>/dev/null | grep -q 'boolean true'";
  const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(manager, nullptr, WNOHANG) != 0) return false;
    if (std::system(command.c_str()) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

std::string software_tpm_missing() {
  if (!on_path("swtpm")) return "swtpm is not installed";
  const std::string folder = modules_folder();
  if (folder.empty() || !std::filesystem::exists(std::filesystem::path(folder) / "tpm2.so")) {
    return "OpenSSL's tpm2 provider is not installed";
  }
  if (!loadable("libtss2-tcti-swtpm.so.0")) return "the TSS's swtpm TCTI is not installed";
  return {};
}

SoftwareTpm::SoftwareTpm() : state_folder_(make_state_folder()) {
  // Another process may take a free port before swtpm binds it; then another pair is tried.
  for (int attempt = 0; attempt < kPortAttempts && !state_folder_.empty() && !running();
       ++attempt) {
    const int port = free_port_pair();
    if (port != 0 && start_on(port)) port_ = port;
  }
}

SoftwareTpm::SoftwareTpm(int port) : state_folder_(make_state_folder()) {
  if (!state_folder_.empty() && start_on(port)) port_ = port;
}

bool SoftwareTpm::start_on(int port) {
  pid_ = ::fork();
  if (pid_ == 0) run_swtpm(state_folder_, port);
  if (pid_ < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, nullptr, WNOHANG) != 0) {  // it could not bind, or failed
      pid_ = -1;
      return false;
    }
    if (accepts_connections(port + 1) && accepts_connections(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop();
  return false;
}

SoftwareTpm::~SoftwareTpm() {
  stop();
  if (state_folder_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(state_folder_, ignored);
}

std::string SoftwareTpm::tcti() const {
  return "swtpm:host=127.0.0.1,port=" + std::to_string(port_);
}

void SoftwareTpm::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::kill(pid_, SIGCONT);  // a paused process ends only once it goes on
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool SoftwareTpm::restart() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // The killed process's ports may take a moment to be free again.
  const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
  while (!start_on(port_) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return running();
}

void SoftwareTpm::pause() {
  if (pid_ > 0) stop_process(pid_);
}

void SoftwareTpm::resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

ScopedVariable::ScopedVariable(std::string name, const std::string& value)
    : name_(std::move(name)) {
  if (const char* current = std::getenv(name_.c_str()); current != nullptr) {
    had_value_ = true;
    previous_ = current;
  }
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedVariable::~ScopedVariable() {
  if (had_value_) {
    ::setenv(name_.c_str(), previous_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedTcti::ScopedTcti(const std::string& tcti) : ScopedVariable(kTctiVariable, tcti) {}

std::string resource_manager_missing() {
  if (!on_path("dbus-daemon") || !on_path("dbus-send")) return "dbus-daemon is not installed";
  if (!on_path("tpm2-abrmd") && ::access(kManager, X_OK) != 0) return "tpm2-abrmd is not installed";
  if (!loadable("libtss2-tcti-tabrmd.so.0")) return "the TSS's tabrmd TCTI is not installed";
  return {};
}

TpmResourceManager::TpmResourceManager(const SoftwareTpm& tpm) {
  int address[2];
  if (!tpm.running() || ::pipe2(address, O_CLOEXEC) != 0) return;
  bus_pid_ = ::fork();
  if (bus_pid_ == 0) run_bus(address[1]);
  ::close(address[1]);
  bus_address_ = read_line(address[0]);
  ::close(address[0]);
  if (bus_pid_ < 0 || bus_address_.empty()) {
    stop();
    return;
  }
  tpm_tcti_ = tpm.tcti();
  if (!start_manager()) stop();
}

bool TpmResourceManager::start_manager() {
  manager_pid_ = ::fork();
  if (manager_pid_ == 0) run_manager(bus_address_, tpm_tcti_);
  if (manager_pid_ > 0 && wait_for_manager(bus_address_, manager_pid_)) return true;
  if (manager_pid_ > 0) {
    ::kill(manager_pid_, SIGKILL);
    ::waitpid(manager_pid_, nullptr, 0);
  }
  manager_pid_ = -1;
  return false;
}

void TpmResourceManager::kill() {
  if (manager_pid_ <= 0) return;
  ::kill(manager_pid_, SIGKILL);
  ::waitpid(manager_pid_, nullptr, 0);
  manager_pid_ = -1;
}

bool TpmResourceManager::restart() {
  kill();
  return bus_pid_ > 0 && start_manager();
}

void TpmResourceManager::pause() {
  if (manager_pid_ > 0) stop_process(manager_pid_);
}

void TpmResourceManager::resume() {
  if (manager_pid_ > 0) ::kill(manager_pid_, SIGCONT);
}

void TpmResourceManager::kill_bus() {
  if (bus_pid_ <= 0) return;
  ::kill(bus_pid_, SIGKILL);
  ::waitpid(bus_pid_, nullptr, 0);
  bus_pid_ = -1;
}

TpmResourceManager::~TpmResourceManager() {
  stop();
}

void TpmResourceManager::stop() {
  for (pid_t* pid : {&manager_pid_, &bus_pid_}) {
    if (*pid <= 0) continue;
    ::kill(*pid, SIGTERM);
    ::kill(*pid, SIGCONT);  // a paused process ends only once it goes on
    ::waitpid(*pid, nullptr, 0);
    *pid = -1;
  }
}

}  // namespace ktarn::testing
