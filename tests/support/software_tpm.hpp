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

 private:
  bool start_on(int port);

  pid_t pid_ = -1;
  int port_ = 0;
  std::string state_folder_;
};

// Points the tpm2 provider at the given TCTI for as long as the object lives, then restores what
// was there. The provider reads it when it is loaded.
class ScopedTcti {
 public:
  explicit ScopedTcti(const std::string& tcti);
  ~ScopedTcti();
  ScopedTcti(const ScopedTcti&) = delete;
  ScopedTcti& operator=(const ScopedTcti&) = delete;

 private:
  bool had_value_ = false;
  std::string previous_;
};

}  // namespace ktarn::testing
