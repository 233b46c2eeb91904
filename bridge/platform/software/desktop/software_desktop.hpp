// The Linux desktop: processes and their names from /proc; the active displays and the window
// that has the focus from X11 when a display server is reachable.
#pragma once

#include "bridge/platform/desktop.hpp"

namespace ktarn::platform::software {

class SoftwareDesktop final : public Desktop {
 public:
  CGError cg_get_active_display_list(std::uint32_t max_displays,
                                     std::uint32_t& display_count) override;
  Ref frontmost_application() override;
  std::int32_t process_identifier(const Object& application) override;
  std::optional<std::string> localized_name(const Object& application) override;
  std::unique_ptr<std::int32_t[]> calloc_pid_block(std::size_t count) override;
  int proc_listallpids(std::span<std::int32_t> block) override;
  int proc_name(std::int32_t pid, std::span<char> buffer) override;
  int compare(const std::string& a, const std::string& b) override;
};

}  // namespace ktarn::platform::software
