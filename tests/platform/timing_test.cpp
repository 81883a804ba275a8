// Absolute time, durations and delays. Only lower bounds are asserted so a busy machine cannot
// make these fail.
#include "os/timing.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

uint64_t Nanos(AbsoluteTime t) { return static_cast<uint64_t>(t.hi) << 32 | t.lo; }

TEST(Timing, DurationsDelaysAndTicks) {
  const AbsoluteTime base{0, 0xFFFFFF00u};  // near a carry into the high half
  EXPECT_EQ(Nanos(AddDurationToAbsolute(1, base)) - Nanos(base), 1000000u);    // milliseconds
  EXPECT_EQ(Nanos(AddDurationToAbsolute(-250, base)) - Nanos(base), 250000u);  // microseconds
  EXPECT_EQ(AddDurationToAbsolute(1, base).hi, 1u);
  const AbsoluteTime start = UpTime();
  AbsoluteTime deadline = AddDurationToAbsolute(1, start);
  EXPECT_EQ(MPDelayUntil(&deadline), noErr);
  EXPECT_GE(Nanos(UpTime()), Nanos(deadline));
  AbsoluteTime past{0, 1};
  EXPECT_EQ(MPDelayUntil(&past), noErr);
  EXPECT_EQ(MPDelayUntil(nullptr), paramErr);
  const auto began = std::chrono::steady_clock::now();
  const UInt32 before = TickCount();
  UInt32 finalTicks = 0;
  Delay(3, &finalTicks);
  EXPECT_GE(finalTicks - before, 3u);
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(2 * 1000 / 60));
}

}  // namespace
