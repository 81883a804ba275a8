// Host time: nanoseconds of the monotonic clock, so ticks and nanoseconds are the same number.
#include <time.h>

#include "os/audio_hardware.h"

extern "C" {

UInt64 AudioGetCurrentHostTime(void) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return UInt64(ts.tv_sec) * 1000000000u + UInt64(ts.tv_nsec);
}

Float64 AudioGetHostClockFrequency(void) { return 1e9; }

UInt32 AudioGetHostClockMinimumTimeDelta(void) { return 1; }

UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime) { return inHostTime; }

UInt64 AudioConvertNanosToHostTime(UInt64 inNanos) { return inNanos; }

}  // extern "C"
