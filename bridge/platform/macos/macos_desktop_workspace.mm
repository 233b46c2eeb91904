// The desktop's Objective-C interfaces: the frontmost application through NSWorkspace, and the
// order of names through NSString.
#include "bridge/platform/macos/exception_edge.hpp"
#include "bridge/platform/macos/macos_platform.hpp"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

namespace ktarn::platform::macos {
namespace {

// Holds the application strongly (ARC) until the bridge logic drops the Ref.
class RunningApplication final : public Object {
 public:
  explicit RunningApplication(NSRunningApplication* application) : application_(application) {}
  NSRunningApplication* application() const { return application_; }

 private:
  NSRunningApplication* application_;
};

NSRunningApplication* application_of(const Object& object) {
  const auto* running = dynamic_cast<const RunningApplication*>(&object);
  return running != nullptr ? running->application() : nil;
}

NSString* string_of(const std::string& text) {
  return [[NSString alloc] initWithBytes:text.data()
                                  length:text.size()
                                encoding:NSUTF8StringEncoding];
}

}  // namespace

Ref MacosDesktop::frontmost_application() {
  return guarded([]() -> Ref {
    NSRunningApplication* application = NSWorkspace.sharedWorkspace.frontmostApplication;
    if (application == nil) return nullptr;
    return std::make_unique<RunningApplication>(application);
  });
}

std::int32_t MacosDesktop::process_identifier(const Object& application) {
  return guarded([&]() -> std::int32_t {
    NSRunningApplication* running = application_of(application);
    return running != nil ? running.processIdentifier : 0;
  });
}

std::optional<std::string> MacosDesktop::localized_name(const Object& application) {
  return guarded([&]() -> std::optional<std::string> {
    NSRunningApplication* running = application_of(application);
    const char* name = running != nil ? running.localizedName.UTF8String : nullptr;
    if (name == nullptr) return std::nullopt;
    return std::string(name);
  });
}

// The names compared are those the snapshot kept, which are well-formed UTF-8; were one not, its
// bytes would decide, so that the order stays total.
int MacosDesktop::compare(const std::string& a, const std::string& b) {
  return guarded([&]() -> int {
    NSString* left = string_of(a);
    NSString* right = string_of(b);
    if (left == nil || right == nil) return a.compare(b);
    return static_cast<int>([left compare:right]);
  });
}

}  // namespace ktarn::platform::macos
