#include "bridge/platform/software/desktop/software_desktop.hpp"

#include <new>

#include "bridge/platform/software/desktop/proc_processes.hpp"
#include "bridge/platform/software/desktop/x11_display.hpp"

namespace ktarn::platform::software {
namespace {

// The application behind the active window, as it was when the desktop was asked.
class ActiveApplication final : public Object {
 public:
  explicit ActiveApplication(ActiveWindow window) : window_(std::move(window)) {}
  const ActiveWindow& window() const { return window_; }

 private:
  ActiveWindow window_;
};

const ActiveWindow& window_of(const Object& application) {
  const auto* active = dynamic_cast<const ActiveApplication*>(&application);
  if (active == nullptr) throw PlatformException("not an application of this desktop");
  return active->window();
}

}  // namespace

CGError SoftwareDesktop::cg_get_active_display_list(std::uint32_t /*max_displays*/,
                                                    std::uint32_t& display_count) {
  display_count = count_active_monitors();
  return 0;
}

Ref SoftwareDesktop::frontmost_application() {
  std::optional<ActiveWindow> window = find_active_window();
  if (!window) return nullptr;
  return std::make_unique<ActiveApplication>(std::move(*window));
}

std::int32_t SoftwareDesktop::process_identifier(const Object& application) {
  return window_of(application).pid;
}

std::optional<std::string> SoftwareDesktop::localized_name(const Object& application) {
  return window_of(application).class_name;
}

std::unique_ptr<std::int32_t[]> SoftwareDesktop::calloc_pid_block(std::size_t count) {
  return std::unique_ptr<std::int32_t[]>(new (std::nothrow) std::int32_t[count]());
}

int SoftwareDesktop::proc_listallpids(std::span<std::int32_t> block) {
  return list_process_ids(block);
}

int SoftwareDesktop::proc_name(std::int32_t pid, std::span<char> buffer) {
  return read_process_name(pid, buffer);
}

// Ascending byte order of the UTF-8 names, which is ascending character codes on ASCII.
int SoftwareDesktop::compare(const std::string& a, const std::string& b) {
  return a.compare(b);
}

}  // namespace ktarn::platform::software
