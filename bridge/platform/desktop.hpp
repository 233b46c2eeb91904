// Observation of the desktop: the active displays, the frontmost application, and the running
// processes with their names, plus the string ordering the snapshot sorts names by.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "bridge/platform/object.hpp"

namespace ktarn::platform {

using CGError = std::int32_t;

class Desktop {
 public:
  virtual ~Desktop() = default;

  // CGGetActiveDisplayList with max_displays 0 and no display array: 0 on success, storing the
  // number of active displays in display_count; any other value on failure.
  virtual CGError cg_get_active_display_list(std::uint32_t max_displays,
                                             std::uint32_t& display_count) = 0;

  // NSWorkspace sharedWorkspace frontmostApplication: the frontmost application, or none.
  virtual Ref frontmost_application() = 0;
  // An object the desktop did not hand out is answered as no application (0, none), as a keychain
  // answers one with errSecParam.
  // processIdentifier of an application; 0 or below counts as no application.
  virtual std::int32_t process_identifier(const Object& application) = 0;
  // localizedName of an application (valid UTF-8), or none.
  virtual std::optional<std::string> localized_name(const Object& application) = 0;

  // calloc of count process-id slots, zero-filled; nullptr on exhaustion.
  virtual std::unique_ptr<std::int32_t[]> calloc_pid_block(std::size_t count) = 0;
  // proc_listallpids: fills the block with process ids, at most its capacity, and returns how
  // many it stored (may report the block full); 0 or below on failure.
  virtual int proc_listallpids(std::span<std::int32_t> block) = 0;
  // proc_name: copies the process's name into the buffer and returns its length in bytes; 0 or
  // below when the name cannot be obtained.
  virtual int proc_name(std::int32_t pid, std::span<char> buffer) = 0;

  // NSString compare: negative, zero or positive; agrees with ascending character codes on ASCII.
  virtual int compare(const std::string& a, const std::string& b) = 0;
};

}  // namespace ktarn::platform
