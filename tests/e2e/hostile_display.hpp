// A display server on a loopback TCP port of its own that answers the desktop's questions as a
// real one would (the greeting, InternAtom, GetProperty, QueryExtension and RandR's QueryVersion
// and GetMonitors), except for the one lie it is told to tell. Reached as "127.0.0.1:N".
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace ktarn::e2e {

enum class Lie {
  kNone,                // one monitor; the active window is owned by `pid`, of class `wm_class`
  kGreetingOverstated,  // the greeting states a vendor name it does not hold
  kActiveWindowUnsent,  // _NET_ACTIVE_WINDOW's reply states one item and holds none
  kPidUnsent,           // likewise _NET_WM_PID's
  kClassOverstated,     // WM_CLASS's reply states 64 KiB of value and holds the class alone
  kClassUnasked,        // WM_CLASS's reply holds 16 MiB, whatever was asked for
  kMonitorsUnsent,      // GetMonitors states 1000 monitors and lists none
  kEndlessReply,        // every reply states 1 GiB and streams it until the client goes
  kEventFlood,          // events without end instead of any reply
  kGenericEventFlood,   // likewise, each a generic event of 1 MiB
};

class HostileDisplay {
 public:
  HostileDisplay(Lie lie, pid_t pid, std::string wm_class);
  ~HostileDisplay();
  HostileDisplay(const HostileDisplay&) = delete;
  HostileDisplay& operator=(const HostileDisplay&) = delete;

  // "127.0.0.1:N", or empty when the server could not be set up.
  const std::string& display_name() const { return display_name_; }

 private:
  void serve();
  void converse(int client);
  bool answer(int client, const std::string& request, std::uint16_t sequence);
  bool stream(int client, const std::string& head, const std::string& filler);

  Lie lie_;
  pid_t pid_;
  std::string wm_class_;
  int listener_ = -1;
  std::atomic<bool> stopping_ = false;
  std::thread server_;
  std::string display_name_;
};

}  // namespace ktarn::e2e
