// A software TPM for tests and benchmarks: swtpm listening on two free loopback ports (commands
// on the first, control on the next), its state in a private folder under the temporary
// directory, stopped and removed when the object goes away. Processes reach it through the
// provider's TCTI variable, which ScopedTcti sets for the process itself and tcti() spells out
// for child processes.
#pragma once

#include <sys/types.h>

#include <string>

namespace ktarn::testing {

// Empty when swtpm and OpenSSL's tpm2 provider are both installed; otherwise a one-line note of
// what is missing, for a test to skip with.
std::string software_tpm_missing();

class SoftwareTpm {
 public:
  SoftwareTpm();  // starts a fresh TPM, manufactured and started up, with nothing in it
  explicit SoftwareTpm(int port);  // the same on a given port, if it and the next are free
  ~SoftwareTpm();
  SoftwareTpm(const SoftwareTpm&) = delete;
  SoftwareTpm& operator=(const SoftwareTpm&) = delete;

  bool running() const { return pid_ > 0; }
  // The provider's TCTI setting for this TPM: "swtpm:host=127.0.0.1,port=N".
  std::string tcti() const;
  // Stops the TPM; its clients find nothing listening afterwards.
  void stop();
  // Kills the TPM at once, as a crash or a power loss would, and starts it again on the same port
  // with the state it had; whether it runs again.
  bool restart();
  // Stops the TPM's process where it is (SIGSTOP), so that its clients wait, and lets it go on.
  void pause();
  void resume();

 private:
  bool start_on(int port);

  pid_t pid_ = -1;
  int port_ = 0;
  std::string state_folder_;
};

// Empty when a TPM resource manager (tpm2-abrmd, its TCTI and a D-Bus daemon) can be started;
// otherwise a one-line note of what is missing.
std::string resource_manager_missing();

// The TPM behind a resource manager of its own, as the kernel's is for a real TPM: many
// processes share it at once, each with as many loaded keys as it needs, and what a process
// left loaded is flushed when it ends, killed or not. A private D-Bus daemon carries its
// clients; both stop when the object goes away.
class TpmResourceManager {
 public:
  explicit TpmResourceManager(const SoftwareTpm& tpm);
  ~TpmResourceManager();
  TpmResourceManager(const TpmResourceManager&) = delete;
  TpmResourceManager& operator=(const TpmResourceManager&) = delete;

  bool running() const { return manager_pid_ > 0; }
  // Kills the manager, as a crash would; its bus stays.
  void kill();
  // Kills the manager and starts another on the same bus; whether it serves again.
  bool restart();
  // Stops the manager's process where it is (SIGSTOP), and lets it go on.
  void pause();
  void resume();
  // Kills the bus daemon, so that the manager's clients find their bus dead.
  void kill_bus();
  // The provider's TCTI setting for it, which clients use with bus_address() as their
  // session bus (DBUS_SESSION_BUS_ADDRESS).
  std::string tcti() const { return "tabrmd:bus_type=session"; }
  const std::string& bus_address() const { return bus_address_; }

 private:
  void stop();
  bool start_manager();

  pid_t bus_pid_ = -1;
  pid_t manager_pid_ = -1;
  std::string bus_address_;
  std::string tpm_tcti_;
};

// Sets an environment variable of this process for as long as the object lives, then restores
// what was there.
class ScopedVariable {
 public:
  ScopedVariable(std::string name, const std::string& value);
  ~ScopedVariable();
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::string name_;
  bool had_value_ = false;
  std::string previous_;
};

// Points the tpm2 provider at the given TCTI. The provider reads it when it is loaded.
class ScopedTcti : public ScopedVariable {
 public:
  explicit ScopedTcti(const std::string& tcti);
};

}  // namespace ktarn::testing
