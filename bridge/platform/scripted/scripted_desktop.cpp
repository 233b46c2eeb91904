#include "bridge/platform/scripted/scripted_desktop.hpp"

#include <algorithm>
#include <new>

#include "bridge/platform/scripted/counted_object.hpp"

namespace ktarn::platform::scripted {
namespace {

// The application as it was scripted when it was handed out.
class ScriptedApplication final : public CountedObject {
 public:
  ScriptedApplication(int& live, ScriptedDesktop::Application application)
      : CountedObject(live), application_(std::move(application)) {}
  const ScriptedDesktop::Application& application() const { return application_; }

 private:
  ScriptedDesktop::Application application_;
};

// An object this desktop did not hand out is no application, as on every desktop.
const ScriptedDesktop::Application* application_of(const Object& object) {
  const auto* application = dynamic_cast<const ScriptedApplication*>(&object);
  return application == nullptr ? nullptr : &application->application();
}

}  // namespace

ScriptedDesktop::ScriptedDesktop(int& live) : live_(live) {}

void ScriptedDesktop::enter(const char* operation) {
  calls.emplace_back(operation);
  if (throwing.contains(operation)) throw PlatformException(operation);
}

CGError ScriptedDesktop::cg_get_active_display_list(std::uint32_t /*max_displays*/,
                                                    std::uint32_t& count) {
  enter("CGGetActiveDisplayList");
  if (display_status == 0) count = display_count;
  return display_status;
}

Ref ScriptedDesktop::frontmost_application() {
  enter("frontmostApplication");
  if (!frontmost) return nullptr;
  return std::make_unique<ScriptedApplication>(live_, *frontmost);
}

std::int32_t ScriptedDesktop::process_identifier(const Object& application) {
  enter("processIdentifier");
  const Application* found = application_of(application);
  return found == nullptr ? 0 : found->pid;
}

std::optional<std::string> ScriptedDesktop::localized_name(const Object& application) {
  enter("localizedName");
  const Application* found = application_of(application);
  return found == nullptr ? std::nullopt : found->localized_name;
}

std::unique_ptr<std::int32_t[]> ScriptedDesktop::calloc_pid_block(std::size_t count) {
  enter("calloc");
  if (calloc_fails) return nullptr;
  return std::unique_ptr<std::int32_t[]>(new (std::nothrow) std::int32_t[count]());
}

int ScriptedDesktop::proc_listallpids(std::span<std::int32_t> block) {
  enter("proc_listallpids");
  listing_capacity = block.size();
  const std::size_t stored = std::min(block.size(), pids.size());
  std::copy_n(pids.begin(), stored, block.begin());
  return listing_result.value_or(static_cast<int>(stored));
}

int ScriptedDesktop::proc_name(std::int32_t pid, std::span<char> buffer) {
  enter("proc_name");
  named_pids.push_back(pid);
  const auto found = names.find(pid);
  if (found == names.end()) return 0;
  const ProcessName& name = found->second;
  const int length = name.reported_length.value_or(static_cast<int>(name.bytes.size()));
  if (length <= 0) return length;
  std::copy_n(name.bytes.begin(), std::min(buffer.size(), name.bytes.size()), buffer.begin());
  return length;
}

int ScriptedDesktop::compare(const std::string& a, const std::string& b) {
  enter("compare");
  return a.compare(b);
}

}  // namespace ktarn::platform::scripted
