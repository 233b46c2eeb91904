// Platform objects and the bridge's references to them. What a Copy or Create operation hands
// back is owned by the caller: a move-only Ref, released exactly once when it is dropped, on
// every path. Collections built by the bridge (a query's search list, the keychain a creation
// names) share their elements, as the platform's own collections retain what they hold.
// PlatformException is the one exception the platform raises; only the bridge entry catches it.
#pragma once

#include <memory>
#include <stdexcept>

namespace ktarn::platform {

class PlatformException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An opaque platform object (a keychain, a keychain item, a key, an error, an application).
// Implementations derive their own kinds from it; the bridge logic only passes them back.
class Object {
 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;
};

using Ref = std::unique_ptr<Object>;
using SharedRef = std::shared_ptr<Object>;

}  // namespace ktarn::platform
