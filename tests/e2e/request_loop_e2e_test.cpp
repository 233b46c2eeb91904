#include <gtest/gtest.h>

#include "e2e/companion_process.hpp"

namespace ktarn::e2e {
namespace {

TEST(RequestLoopEndToEnd, EmptyInputWritesNothingAndExitsZero) {
  const ProcessResult result = run_companion({});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
}

}  // namespace
}  // namespace ktarn::e2e
