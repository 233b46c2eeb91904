// Faults of the file system under a keychain folder, for tests that check what the companion
// does when its keychain cannot be written: a file size limit, a full file system, an immutable
// folder and a read-only mount. Each is made with the means the test process has; one that
// cannot be made here says why, and the test passes over it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ktarn::e2e {

// A fault of the file system under the keychain folder, switched on around one companion run.
// prepare and apply return why the fault cannot be made here, or nothing once it is in place.
struct DiskFault {
  const char* reason;
  std::function<std::optional<std::string>(const std::string& folder)> prepare;  // before the key
  std::function<std::optional<std::string>(const std::string& folder)> apply;
  std::function<void(const std::string& folder)> remove;
  std::function<void(const std::string& folder)> dispose;  // after the last check
  bool reaches_running_processes;  // false when only processes started under it feel it
};

// Every fault, in the order of the tests' tables.
std::vector<DiskFault> disk_faults();

// Undoes a fault's preparation however the test case ends.
class Disposal {
 public:
  Disposal(const DiskFault& fault, std::string folder)
      : fault_(fault), folder_(std::move(folder)) {}
  Disposal(const Disposal&) = delete;
  Disposal& operator=(const Disposal&) = delete;
  ~Disposal() { fault_.dispose(folder_); }

 private:
  const DiskFault& fault_;
  std::string folder_;
};

}  // namespace ktarn::e2e
