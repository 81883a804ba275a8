// What the CoreAudioXNQ tests share: the plugin loaded into the host over a known set of
// devices, and short ways to call the class's members by name as a host program does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "os/audio_hardware.h"
#include "platform/audio_devices.h"
#include "xnq/host.h"

namespace coreaudio_test {

using xnq::host::CallResult;
using xnq::host::Runtime;
using xnq::host::Value;

// The devices every test starts from.
struct TestDevices {
  AudioDeviceID output = 0;  // "Test Output": 2 output channels, 48000 Hz, 256 frames, stepped
  AudioDeviceID input = 0;   // "Test Input": 1 input channel, 44100 Hz, input only
};

// Loads the plugin once per process with the given settings (each test runs in a process of its
// own under CTest). False when the process already loaded it with other settings: the caller
// then skips.
bool LoadPlugin(const xnq::host::Settings &settings = {});

// Replaces the platform's devices with the test devices.
TestDevices ResetDevices();

// A base for tests: loads the plugin with default settings and sets up the test devices.
class CoreAudioTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Runtime &rt() { return Runtime::get(); }
  // A new CoreAudioXNQ object.
  Value NewCoreAudio();
  // Calls a method and fails the test on a raised exception.
  Value Call(const Value &object, const std::string &method, std::vector<Value> args = {});
  // Calls a method expecting an exception of the class; returns its message.
  std::string CallRaising(const Value &object, const std::string &method, std::vector<Value> args,
                          const std::string &exceptionClass);
  int64_t LastError(const Value &object, const char *property = "Lasterror");
  Value Str(const std::string &text) { return rt().newString(text, xnq::host::kUTF8); }
  Value Block(const void *bytes, int64_t size) { return rt().newMemoryBlock(bytes, size); }

  TestDevices devices;
  xnq::host::ReferenceCounts before;
};

// A C string property's bytes without the terminating NUL the framework may include.
std::string WithoutTerminator(std::string bytes);
// A four-character code as its text, most significant byte first.
std::string CodeText(uint32_t code);

}  // namespace coreaudio_test
