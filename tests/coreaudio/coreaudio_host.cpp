#include "coreaudio_host.h"

#include <optional>

namespace coreaudio_test {
namespace {
std::optional<xnq::host::Settings> gLoadedWith;

bool SameSettings(const xnq::host::Settings &a, const xnq::host::Settings &b) {
  return a.version == b.version && a.inRuntime == b.inRuntime && a.removed == b.removed &&
         a.dispatchAvailable == b.dispatchAvailable;
}
}  // namespace

bool LoadPlugin(const xnq::host::Settings &settings) {
  if (gLoadedWith) return SameSettings(*gLoadedWith, settings);
  if (!Runtime::get().load(XNQ_PLUGIN_PATH, settings)) {
    ADD_FAILURE() << "cannot load the plugin: " << Runtime::get().error();
    return false;
  }
  gLoadedWith = settings;
  return true;
}

TestDevices ResetDevices() {
  xnq_hal_reset();
  TestDevices devices;
  XnqDeviceConfig output{};
  output.backend = "null";
  output.name = "Test Output";
  output.uid = "test-output-uid";
  output.sampleRate = 48000;
  output.outputChannels = 2;
  output.bufferFrames = 256;
  output.clock = XNQ_CLOCK_STEPPED;
  devices.output = xnq_hal_add_device(&output);
  XnqDeviceConfig input{};
  input.backend = "null";
  input.name = "Test Input";
  input.uid = "test-input-uid";
  input.sampleRate = 44100;
  input.inputChannels = 1;
  input.bufferFrames = 512;
  input.clock = XNQ_CLOCK_STEPPED;
  devices.input = xnq_hal_add_device(&input);
  return devices;
}

void CoreAudioTest::SetUp() {
  if (!LoadPlugin()) GTEST_SKIP() << "the plugin is loaded with other settings in this process";
  devices = ResetDevices();
  ASSERT_NE(devices.output, 0u);
  ASSERT_NE(devices.input, 0u);
  before = rt().outstanding();
}

void CoreAudioTest::TearDown() {
  if (IsSkipped()) return;
  EXPECT_EQ(rt().accountingErrors(), 0);
}

Value CoreAudioTest::NewCoreAudio() {
  CallResult created = rt().newObject("CoreAudioXNQ");
  EXPECT_FALSE(created.raised());
  EXPECT_FALSE(created.value.isNil());
  return created.value;
}

Value CoreAudioTest::Call(const Value &object, const std::string &method, std::vector<Value> args) {
  CallResult result = rt().call(object, method, args);
  EXPECT_FALSE(result.raised()) << method << " raised " << result.exception->className << ": "
                                << result.exception->message;
  return result.value;
}

std::string CoreAudioTest::CallRaising(const Value &object, const std::string &method,
                                       std::vector<Value> args, const std::string &exceptionClass) {
  CallResult result = rt().call(object, method, args);
  if (!result.raised()) {
    ADD_FAILURE() << method << " raised nothing";
    return {};
  }
  EXPECT_EQ(result.exception->className, exceptionClass);
  EXPECT_EQ(result.exception->errorNumber, 0);
  return result.exception->message;
}

int64_t CoreAudioTest::LastError(const Value &object, const char *property) {
  CallResult result = rt().get(object, property);
  EXPECT_FALSE(result.raised());
  return result.value.asInteger();
}

std::string WithoutTerminator(std::string bytes) {
  while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
  return bytes;
}

std::string CodeText(uint32_t code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
          static_cast<char>(code >> 8), static_cast<char>(code)};
}

}  // namespace coreaudio_test
