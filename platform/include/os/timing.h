// Tick delays and absolute time of the Core Services timing calls.
#pragma once

#include "os/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Nanoseconds on the monotonic clock, as two 32-bit halves in the platform's record.
typedef struct AbsoluteTime {
  UInt32 hi;
  UInt32 lo;
} AbsoluteTime;
// A positive Duration is milliseconds, a negative one microseconds.
typedef SInt32 Duration;

enum { durationMillisecond = 1, durationMicrosecond = -1 };

AbsoluteTime UpTime(void);
AbsoluteTime AddDurationToAbsolute(Duration duration, AbsoluteTime time);
OSStatus MPDelayUntil(AbsoluteTime *expirationTime);
// Sleeps numTicks sixtieths of a second; finalTicks receives the tick count afterwards.
void Delay(UInt32 numTicks, UInt32 *finalTicks);
UInt32 TickCount(void);

#ifdef __cplusplus
}
#endif
