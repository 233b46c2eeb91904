#include "bridge/platform/software/software_desktop.hpp"

#include <new>

namespace ktarn::platform::software {

CGError SoftwareDesktop::cg_get_active_display_list(std::uint32_t, std::uint32_t& display_count) {
  display_count = 0;
  return 0;
}

Ref SoftwareDesktop::frontmost_application() {
  return nullptr;
}

std::int32_t SoftwareDesktop::process_identifier(const Object&) {
  return 0;
}

std::optional<std::string> SoftwareDesktop::localized_name(const Object&) {
  return std::nullopt;
}

std::unique_ptr<std::int32_t[]> SoftwareDesktop::calloc_pid_block(std::size_t count) {
  return std::unique_ptr<std::int32_t[]>(new (std::nothrow) std::int32_t[count]());
}

int SoftwareDesktop::proc_listallpids(std::span<std::int32_t>) {
  return 0;
}

int SoftwareDesktop::proc_name(std::int32_t, std::span<char>) {
  return 0;
}

int SoftwareDesktop::compare(const std::string& a, const std::string& b) {
  return a.compare(b);
}

}  // namespace ktarn::platform::software
