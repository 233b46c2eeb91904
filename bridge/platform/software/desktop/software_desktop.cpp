#include "bridge/platform/software/desktop/software_desktop.hpp"

#include <chrono>
#include <new>

#include "bridge/platform/software/desktop/display_backend.hpp"
#include "bridge/platform/software/desktop/proc_processes.hpp"

namespace ktarn::platform::software {
namespace {

// Each question to the display server, connection included, is answered within this: long
// enough for a busy server on a loaded machine, short enough that a browser waiting on the
// answer sees a failure rather than a hang.
constexpr std::chrono::milliseconds kAnswerTime{2000};

Deadline answer_deadline() {
  return std::chrono::steady_clock::now() + kAnswerTime;
}

// The application behind the active window, as it was when the desktop was asked.
class ActiveApplication final : public Object {
 public:
  explicit ActiveApplication(ActiveWindow window) : window_(std::move(window)) {}
  const ActiveWindow& window() const { return window_; }

 private:
  ActiveWindow window_;
};

// An object this desktop did not hand out is no application of its own: it is answered as the
// desktop's interface answers a missing one, not by ending the call.
const ActiveWindow* window_of(const Object& application) {
  const auto* active = dynamic_cast<const ActiveApplication*>(&application);
  return active != nullptr ? &active->window() : nullptr;
}

}  // namespace

// A display server that cannot be asked shows no active display; the snapshot refuses either way.
CGError SoftwareDesktop::cg_get_active_display_list(std::uint32_t /*max_displays*/,
                                                    std::uint32_t& display_count) {
  display_count = count_active_displays(answer_deadline()).value_or(0);
  return 0;
}

Ref SoftwareDesktop::frontmost_application() {
  DisplayAnswer<std::optional<ActiveWindow>> window = find_active_window(answer_deadline());
  if (!window || !*window) return nullptr;
  return std::make_unique<ActiveApplication>(std::move(**window));
}

std::int32_t SoftwareDesktop::process_identifier(const Object& application) {
  const ActiveWindow* window = window_of(application);
  return window != nullptr ? window->pid : 0;
}

std::optional<std::string> SoftwareDesktop::localized_name(const Object& application) {
  const ActiveWindow* window = window_of(application);
  return window != nullptr ? window->class_name : std::nullopt;
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
