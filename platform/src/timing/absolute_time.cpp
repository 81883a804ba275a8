// Core Services timing on the monotonic clock: absolute times in nanoseconds, durations in
// milliseconds (positive) or microseconds (negative), and the 1/60 s tick.
#include <errno.h>
#include <time.h>

#include <cstdint>

#include "os/timing.h"

namespace {

uint64_t nowNanos() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t toNanos(AbsoluteTime time) { return static_cast<uint64_t>(time.hi) << 32 | time.lo; }

AbsoluteTime fromNanos(uint64_t nanos) {
  return AbsoluteTime{static_cast<UInt32>(nanos >> 32), static_cast<UInt32>(nanos)};
}

void sleepUntilNanos(uint64_t deadline) {
  timespec when{static_cast<time_t>(deadline / 1000000000u),
                static_cast<long>(deadline % 1000000000u)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
  }
}

constexpr uint64_t kNanosPerTick = 1000000000u / 60;

}  // namespace

extern "C" {

AbsoluteTime UpTime(void) { return fromNanos(nowNanos()); }

AbsoluteTime AddDurationToAbsolute(Duration duration, AbsoluteTime time) {
  int64_t nanos = duration >= 0 ? static_cast<int64_t>(duration) * 1000000
                                : -static_cast<int64_t>(duration) * 1000;
  return fromNanos(toNanos(time) + static_cast<uint64_t>(nanos));
}

OSStatus MPDelayUntil(AbsoluteTime *expirationTime) {
  if (expirationTime == nullptr) return paramErr;
  sleepUntilNanos(toNanos(*expirationTime));
  return noErr;
}

UInt32 TickCount(void) { return static_cast<UInt32>(nowNanos() / kNanosPerTick); }

void Delay(UInt32 numTicks, UInt32 *finalTicks) {
  // Sleeps until the tick count has advanced by numTicks, as a tick-based wait would.
  uint64_t target = (nowNanos() / kNanosPerTick + numTicks) * kNanosPerTick;
  if (numTicks > 0) sleepUntilNanos(target);
  if (finalTicks != nullptr) *finalTicks = TickCount();
}

}  // extern "C"
