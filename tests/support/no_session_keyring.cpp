// Linked into every test program that runs the software keychain: a keychain made on first use
// keeps its keys sealed when a Secret Service answers, so the tests' processes are given a
// session bus that reaches nothing. A test's outcome then never depends on the desktop session
// it runs in, and nothing a test makes reaches the user's own keyring; a test that needs a
// Secret Service names the private one it started.
#include <cstdlib>

namespace {

const bool kNoSessionBus = [] {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  ::unsetenv("XDG_RUNTIME_DIR");
  return true;
}();

}  // namespace
