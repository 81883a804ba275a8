// Helpers shared by the audio hardware and output unit tests, and by the class suites that look
// at the devices: device set-up and typed property access.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "os/audio_hardware.h"
#include "os/audio_unit.h"
#include "os/cf.h"
#include "platform/audio_devices.h"

namespace hal_test {

inline XnqDeviceConfig nullConfig(const char *name, UInt32 out, UInt32 in, XnqClockMode clock,
                                  UInt32 frames = 64, Float64 rate = 48000) {
  XnqDeviceConfig s{};
  s.backend = "null";
  s.name = name;
  s.outputChannels = out;
  s.inputChannels = in;
  s.bufferFrames = frames;
  s.sampleRate = rate;
  s.clock = clock;
  return s;
}

inline AudioObjectPropertyAddress address(UInt32 selector,
                                          UInt32 scope = kAudioObjectPropertyScopeGlobal,
                                          UInt32 element = 0) {
  return {selector, scope, element};
}

template <class T>
OSStatus getObject(AudioObjectID object, AudioObjectPropertyAddress a, T *value) {
  UInt32 size = sizeof(T);
  OSStatus status = AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, value);
  if (status == 0) {
    EXPECT_EQ(size, sizeof(T));
  }
  return status;
}

template <class T>
OSStatus setObject(AudioObjectID object, AudioObjectPropertyAddress a, const T &value) {
  return AudioObjectSetPropertyData(object, &a, 0, nullptr, sizeof(T), &value);
}

template <class T>
T deviceValue(AudioDeviceID device, bool input, UInt32 selector) {
  T value{};
  UInt32 size = sizeof(T);
  EXPECT_EQ(AudioDeviceGetProperty(device, 0, input, selector, &size, &value), 0);
  return value;
}

template <class T>
T hardwareValue(UInt32 selector) {
  T value{};
  UInt32 size = sizeof(T);
  EXPECT_EQ(AudioHardwareGetProperty(selector, &size, &value), 0);
  return value;
}

// A unit's property of element 0, and setting one.
template <class T>
OSStatus unitGet(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, T *value) {
  UInt32 size = sizeof(T);
  return AudioUnitGetProperty(unit, id, scope, 0, value, &size);
}
template <class T>
OSStatus unitSet(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, const T &value) {
  return AudioUnitSetProperty(unit, id, scope, 0, &value, sizeof value);
}

// Reads a CFString property and gives its text, releasing the string.
inline std::string cfProperty(AudioObjectID object, UInt32 selector) {
  CFStringRef s = nullptr;
  auto a = address(selector);
  UInt32 size = sizeof(s);
  if (AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, &s) != 0 || !s) return "<error>";
  char buffer[256] = {};
  CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
  CFRelease(s);
  return buffer;
}

// Every test starts from an empty system and leaves one behind.
class HalTest : public ::testing::Test {
 protected:
  void SetUp() override { xnq_hal_reset(); }
  void TearDown() override { xnq_hal_reset(); }
};

}  // namespace hal_test
