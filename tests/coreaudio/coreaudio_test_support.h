// What the CoreAudioXNQ tests share: the plugin loaded into the host over a known set of
// devices, a CoreAudioXNQ object per test, and short ways to call it as a host program does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "os/audio_hardware.h"
#include "platform/audio_devices.h"
#include "xnq/host.h"

namespace coreaudio_test {

using xnq::host::CallResult;
using xnq::host::Runtime;
using xnq::host::Value;

// Loads the plugin once per process (each case runs in a process of its own under CTest). False
// when the process already loaded it with other settings: the caller then skips.
inline bool LoadPlugin(const xnq::host::Settings &settings = {}) {
  static std::optional<xnq::host::Settings> loadedWith;
  if (loadedWith) {
    return loadedWith->version == settings.version && loadedWith->removed == settings.removed &&
           loadedWith->dispatchAvailable == settings.dispatchAvailable;
  }
  if (!Runtime::get().load(XNQ_PLUGIN_PATH, settings)) {
    ADD_FAILURE() << "cannot load the plugin: " << Runtime::get().error();
    return false;
  }
  loadedWith = settings;
  return true;
}

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

inline std::vector<Value> With(std::vector<Value> args, const std::vector<Value> &more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}
inline Value Str(const std::string &text) { return Runtime::get().newString(text); }
inline Value Int(int64_t v) { return Value::integer(v); }
inline Value Bytes(const void *bytes, int64_t size) {
  return Runtime::get().newMemoryBlock(bytes, size);
}
// A value's bytes as they come: a memory block's contents or a string's stored bytes.
inline std::string BytesOf(const Value &v) {
  if (v.isNil()) return "";
  if (v.type() == xnq::host::Type::MemoryBlock) {
    return std::string(reinterpret_cast<const char *>(v.data()), static_cast<size_t>(v.size()));
  }
  return v.bytes();
}
template <typename T>
std::string BytesOf(const T &value) {
  return std::string(reinterpret_cast<const char *>(&value), sizeof value);
}

// Every case starts from the test devices and a CoreAudioXNQ object, and ends with every host
// reference it took given back.
class CoreAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!LoadPlugin()) GTEST_SKIP() << "the plugin is loaded with other settings in this process";
    devices = ResetDevices();
    ASSERT_NE(devices.input, 0u);
    before = rt().outstanding();
    ca = rt().newObject("CoreAudioXNQ").value;
  }
  void TearDown() override {
    ca = Value();
    if (IsSkipped()) return;
    EXPECT_EQ(rt().outstanding(), before);
    EXPECT_EQ(rt().accountingErrors(), 0);
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
  double NominalRate(AudioDeviceID id) {
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    AudioDeviceGetProperty(id, 0, false, kAudioDevicePropertyNominalSampleRate, &size, &rate);
    return rate;
  }

  TestDevices devices;
  xnq::host::ReferenceCounts before;
  Value ca;
};

}  // namespace coreaudio_test
