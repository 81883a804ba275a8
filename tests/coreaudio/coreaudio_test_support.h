// What the CoreAudioXNQ tests share: the plugin loaded into the host over a known set of
// devices, a CoreAudioXNQ object per test, and short ways to call it as a host program does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hal_test_support.h"
#include "plugin_test_support.h"

namespace coreaudio_test {

using namespace plugin_test;

// "Test Output": 2 output channels, 48000 Hz, 256 frames; "Test Input": 1 input channel, 44100
// Hz. Both stepped.
struct TestDevices {
  AudioDeviceID output = 0, input = 0;
};

inline TestDevices ResetDevices() {
  xnq_hal_reset();
  XnqDeviceConfig output{"null", "Test Output", "test-output-uid", nullptr, 48000, 2,
                         0,      256,           XNQ_CLOCK_STEPPED};
  XnqDeviceConfig input{"null", "Test Input", "test-input-uid", nullptr, 44100, 0,
                        1,      512,          XNQ_CLOCK_STEPPED};
  return {xnq_hal_add_device(&output), xnq_hal_add_device(&input)};
}

inline double NominalRate(AudioDeviceID id) {
  return hal_test::deviceValue<Float64>(id, false, kAudioDevicePropertyNominalSampleRate);
}

// Every case starts from the test devices and a CoreAudioXNQ object, and ends with every host
// reference it took given back.
class CoreAudioTest : public BalancedTest {
 protected:
  void SetUp() override {
    if (!LoadPlugin()) GTEST_SKIP() << "the plugin is loaded with other settings in this process";
    BalancedTest::SetUp();
    devices = ResetDevices();
    ASSERT_NE(devices.input, 0u);
    ca = rt().newObject("CoreAudioXNQ").value;
  }
  void TearDown() override {
    ca = Value();
    if (!IsSkipped()) BalancedTest::TearDown();
  }
  Runtime &rt() { return Runtime::get(); }
  // Calls a method of the test's object and expects no exception.
  Value Call(const std::string &method, std::vector<Value> args = {}) {
    return CallByref(method, args);
  }
  // The same, with byref arguments written back into args.
  Value CallByref(const std::string &method, std::vector<Value> &args) {
    CallResult result = rt().call(ca, method, args);
    EXPECT_FALSE(result.raised()) << method << " raised " << result.exception->message;
    return result.value;
  }
  // Calls a method expecting it to raise OutOfBoundsException.
  void CallOutOfBounds(const std::string &method, std::vector<Value> args) {
    CallResult result = rt().call(ca, method, args);
    ASSERT_TRUE(result.raised()) << method;
    EXPECT_EQ(result.exception->className, "OutOfBoundsException");
  }
  int64_t LastError() { return rt().get(ca, "Lasterror").value.asInteger(); }
  TestDevices devices;
  Value ca;
};

}  // namespace coreaudio_test
