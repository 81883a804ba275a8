// Absolute time, durations and delays. Only lower bounds are asserted so a busy machine cannot
// make these fail.
#include "os/timing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "os/dispatch.h"

namespace {

uint64_t nanos(AbsoluteTime t) { return static_cast<uint64_t>(t.hi) << 32 | t.lo; }

TEST(Timing, DurationsArePositiveMillisecondsAndNegativeMicroseconds) {
  AbsoluteTime base{0, 0xFFFFFF00u};  // near a carry into the high half
  EXPECT_EQ(nanos(AddDurationToAbsolute(1, base)) - nanos(base), 1000000u);
  EXPECT_EQ(nanos(AddDurationToAbsolute(-250, base)) - nanos(base), 250000u);
  EXPECT_EQ(AddDurationToAbsolute(1, base).hi, 1u);
  EXPECT_EQ(nanos(AddDurationToAbsolute(0, base)), nanos(base));
}

TEST(Timing, DelayUntilOneMillisecondLaterWaitsAtLeastThatLong) {
  AbsoluteTime start = UpTime();
  AbsoluteTime deadline = AddDurationToAbsolute(1, start);
  EXPECT_EQ(MPDelayUntil(&deadline), noErr);
  EXPECT_GE(nanos(UpTime()), nanos(deadline));
  EXPECT_GE(nanos(UpTime()) - nanos(start), 1000000u);
  // A deadline in the past returns at once with no error.
  AbsoluteTime past{0, 1};
  EXPECT_EQ(MPDelayUntil(&past), noErr);
  EXPECT_EQ(MPDelayUntil(nullptr), paramErr);
}

TEST(Timing, TicksAreSixtiethsOfASecond) {
  auto start = std::chrono::steady_clock::now();
  UInt32 before = TickCount();
  UInt32 finalTicks = 0;
  Delay(3, &finalTicks);
  EXPECT_GE(finalTicks - before, 3u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2 * 1000 / 60));
  UInt32 unchanged = 0;
  Delay(0, &unchanged);
  EXPECT_GE(unchanged, finalTicks);
}

TEST(Timing, OnlyTheProcessMainThreadIsMain) {
  EXPECT_EQ(pthread_main_np(), 1);
  int onOther = -1;
  std::thread([&onOther] { onOther = pthread_main_np(); }).join();
  EXPECT_EQ(onOther, 0);
}

}  // namespace
