// The scripted platform's objects count themselves: every live object adds one to the counter of
// the platform that made it, so a test can assert that a bridge call left no reference behind.
#pragma once

#include "bridge/platform/object.hpp"

namespace ktarn::platform::scripted {

class CountedObject : public Object {
 public:
  explicit CountedObject(int& live) : live_(live) { ++live_; }
  ~CountedObject() override { --live_; }

 private:
  int& live_;
};

}  // namespace ktarn::platform::scripted
