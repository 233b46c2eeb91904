// A Secret Service for tests: gnome-keyring-daemon serving only its secrets component on a
// private D-Bus daemon, its keyrings in a throw-away home under the temporary directory, its
// login collection made and unlocked with a password given on standard input. Nothing of the
// user's own session is reached: processes are pointed at bus_address() explicitly. The bus can
// start nothing but a stand-in for the keyring's password prompter, which only records that it
// was asked for, so a test can prove that nothing prompted.
#pragma once

#include <sys/types.h>

#include <string>

namespace ktarn::testing {

// Empty when gnome-keyring-daemon and dbus-daemon are installed; otherwise a one-line note of
// what is missing, for a test to skip with.
std::string private_keyring_missing();

class PrivateKeyring {
 public:
  PrivateKeyring();  // the bus and an unlocked keyring, each in a folder of its own
  ~PrivateKeyring();
  PrivateKeyring(const PrivateKeyring&) = delete;
  PrivateKeyring& operator=(const PrivateKeyring&) = delete;

  bool running() const { return keyring_pid_ > 0; }
  // The value of DBUS_SESSION_BUS_ADDRESS for the keyring's clients.
  const std::string& bus_address() const { return bus_address_; }
  // Locks or unlocks the login collection through the service's own D-Bus calls, as the desktop
  // does; true when the service did it.
  bool lock();
  bool unlock();
  // Deletes every item of the login collection, as a person might in the desktop's keyring
  // manager; true when the service did.
  bool delete_items();
  // Stops the keyring daemon where it is (it answers nothing meanwhile), and lets it go on.
  void pause();
  void resume();
  // Kills the keyring daemon, as one that crashed; start() brings it back, unlocked.
  void kill_keyring();
  bool start();
  // Whether anything asked the bus for the keyring's password prompter.
  bool prompter_started() const;

 private:
  bool call_service(const std::string& interface, const std::string& method, bool with_password);

  std::string folder_;
  pid_t bus_pid_ = -1;
  pid_t keyring_pid_ = -1;
  std::string bus_address_;
};

}  // namespace ktarn::testing
