// A desktop that does what a test tells it to: every observation the snapshot makes is a field
// to preset (display status and count, the frontmost application, allocation failure, the process
// listing, each process's name), every call is recorded in order, and any operation can be made
// to raise the platform exception. The application objects it hands out count themselves, so a
// test can assert that no reference outlived a bridge call.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bridge/platform/desktop.hpp"

namespace ktarn::platform::scripted {

class ScriptedDesktop final : public platform::Desktop {
 public:
  struct Application {
    std::int32_t pid = 1;
    std::optional<std::string> localized_name;
  };
  // What proc_name copies for one process: the bytes (cut to the buffer) and the length it
  // reports, which defaults to the number of bytes; a length of 0 or below copies nothing.
  struct ProcessName {
    std::string bytes;
    std::optional<int> reported_length;
  };

  explicit ScriptedDesktop(int& live);

  // The script. Defaults describe one display, a frontmost application with pid 1 and no
  // processes; the listing reports how many ids it stored unless listing_result overrides it.
  CGError display_status = 0;
  std::uint32_t display_count = 1;
  std::optional<Application> frontmost = Application{};
  bool calloc_fails = false;
  std::vector<std::int32_t> pids;
  std::optional<int> listing_result;
  std::map<std::int32_t, ProcessName> names;  // pids without an entry have no readable name
  std::set<std::string> throwing;  // platform names of operations that raise the exception

  // What was asked: every operation by its platform name (CGGetActiveDisplayList, proc_name, ...),
  // in call order, and the pids whose names were read.
  std::vector<std::string> calls;
  std::vector<std::int32_t> named_pids;
  std::size_t listing_capacity = 0;

  CGError cg_get_active_display_list(std::uint32_t max_displays,
                                     std::uint32_t& display_count) override;
  Ref frontmost_application() override;
  std::int32_t process_identifier(const Object& application) override;
  std::optional<std::string> localized_name(const Object& application) override;
  std::unique_ptr<std::int32_t[]> calloc_pid_block(std::size_t count) override;
  int proc_listallpids(std::span<std::int32_t> block) override;
  int proc_name(std::int32_t pid, std::span<char> buffer) override;
  int compare(const std::string& a, const std::string& b) override;

 private:
  void enter(const char* operation);

  int& live_;
};

}  // namespace ktarn::platform::scripted
