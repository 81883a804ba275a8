// Host time: the monotonic clock counted in ticks of numerator/denominator nanoseconds. The
// timebase is 1/1 (ticks are nanoseconds) unless a host or test sets another, as on machines
// whose clock ticks are not nanoseconds.
#include <time.h>

#include <atomic>

#include "os/audio_hardware.h"
#include "platform/audio_devices.h"

namespace {

// Numerator in the high half, denominator in the low half, so both change together. Written by
// xnq_hal_set_host_clock_timebase, read by every conversion (any thread, IO threads included).
std::atomic<UInt64> gTimebase{(UInt64{1} << 32) | 1};

// value * multiplier / divisor, without overflowing before the division.
UInt64 scale(UInt64 value, UInt64 multiplier, UInt64 divisor) {
  return value / divisor * multiplier + value % divisor * multiplier / divisor;
}

UInt64 numerator() { return gTimebase.load(std::memory_order_relaxed) >> 32; }
UInt64 denominator() { return gTimebase.load(std::memory_order_relaxed) & 0xFFFFFFFFu; }

}  // namespace

extern "C" {

OSStatus xnq_hal_set_host_clock_timebase(UInt32 numer, UInt32 denom) {
  if (numer == 0 || denom == 0) return kAudioHardwareIllegalOperationError;
  gTimebase.store((UInt64{numer} << 32) | denom, std::memory_order_relaxed);
  return kAudioHardwareNoError;
}

UInt64 AudioGetCurrentHostTime(void) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return AudioConvertNanosToHostTime(UInt64(ts.tv_sec) * 1000000000u + UInt64(ts.tv_nsec));
}

Float64 AudioGetHostClockFrequency(void) {
  return 1e9 * static_cast<Float64>(denominator()) / static_cast<Float64>(numerator());
}

UInt32 AudioGetHostClockMinimumTimeDelta(void) { return 1; }

UInt64 AudioConvertHostTimeToNanos(UInt64 inHostTime) {
  return scale(inHostTime, numerator(), denominator());
}

UInt64 AudioConvertNanosToHostTime(UInt64 inNanos) {
  return scale(inNanos, denominator(), numerator());
}

}  // extern "C"
