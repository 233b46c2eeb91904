// The ownership rule for references from Copy and Create calls: whatever path a reference takes
// (kept, moved, replaced, never obtained), it is released exactly once.
#include "bridge/platform/macos/owned_reference.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <utility>

namespace ktarn::platform::macos {
namespace {

std::map<const void*, int> releases;

void count_release(const void* reference) {
  ++releases[reference];
}

using Owned = OwnedReference<const void*, &count_release>;

const int first_object = 0;
const int second_object = 0;
const void* const first = &first_object;
const void* const second = &second_object;

TEST(OwnedReference, EveryPathReleasesEachReferenceOnce) {
  const struct {
    const char* path;
    std::function<void()> run;
    std::map<const void*, int> released;
  } cases[] = {
      {"dropped", [] { Owned owned(first); }, {{first, 1}}},
      {"never obtained", [] { Owned owned(nullptr); }, {}},
      {"moved out, then both dropped",
       [] {
         Owned owned(first);
         Owned taken(std::move(owned));
       },
       {{first, 1}}},
      {"replaced by another",
       [] {
         Owned owned(first);
         owned = Owned(second);
         EXPECT_EQ(releases[first], 1) << "the replaced reference is released at once";
       },
       {{first, 1}, {second, 1}}},
      {"moved onto itself through a second name",
       [] {
         Owned owned(first);
         Owned& alias = owned;
         owned = std::move(alias);
       },
       {{first, 1}}},
      {"moved into a container slot that is dropped later",
       [] {
         Owned slot;
         {
           Owned owned(second);
           slot = std::move(owned);
         }
         EXPECT_TRUE(releases.empty()) << "still owned by the slot";
       },
       {{second, 1}}},
  };
  for (const auto& each : cases) {
    releases.clear();
    each.run();
    std::erase_if(releases, [](const auto& entry) { return entry.second == 0; });
    EXPECT_EQ(releases, each.released) << each.path;
  }
}

}  // namespace
}  // namespace ktarn::platform::macos
