// XNQ_AUDIO_DEVICES is read on the first call of the audio hardware, so each case runs in a
// fresh child process of this test program with the variable set.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hal_test_support.h"

using namespace hal_test;

namespace {

std::vector<AudioDeviceID> deviceList() {
  auto devs = address(kAudioHardwarePropertyDevices);
  UInt32 size = 0;
  if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devs, 0, nullptr, &size) != 0)
    return {};
  std::vector<AudioDeviceID> ids(size / sizeof(AudioDeviceID));
  if (size && AudioObjectGetPropertyData(kAudioObjectSystemObject, &devs, 0, nullptr, &size,
                                         ids.data()) != 0) {
    return {};
  }
  return ids;
}

// Runs this test program again with only the named case and the variable set; true if it passed.
bool runChild(const char *testName, const char *devices) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("XNQ_HAL_ENVIRONMENT_CHILD", "1", 1);
    setenv("XNQ_AUDIO_DEVICES", devices, 1);
    std::string filter = std::string("--gtest_filter=HalEnvironment.") + testName;
    execl("/proc/self/exe", "child", filter.c_str(), "--gtest_brief=1",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool inChild() { return std::getenv("XNQ_HAL_ENVIRONMENT_CHILD") != nullptr; }

TEST(HalEnvironment, NamedDevicesAreMadeOnFirstUse) {
  if (!inChild()) {
    EXPECT_TRUE(runChild("NamedDevicesAreMadeOnFirstUse",
                         "null:name=From Env,out=4,rate=32000; null:name=Env In,out=0,in=1"));
    return;
  }
  auto ids = deviceList();
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(cfProperty(ids[0], kAudioObjectPropertyName), "From Env");
  auto f =
      deviceValue<AudioStreamBasicDescription>(ids[0], false, kAudioDevicePropertyStreamFormat);
  EXPECT_EQ(f.mChannelsPerFrame, 4u);
  EXPECT_EQ(f.mSampleRate, 32000.0);
  AudioDeviceID in = 0;
  UInt32 size = sizeof in;
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultInputDevice, &size, &in), 0);
  EXPECT_EQ(in, ids[1]);
}

TEST(HalEnvironment, AListThatCannotBeUsedGivesTheDefaultSet) {
  if (!inChild()) {
    EXPECT_TRUE(runChild("AListThatCannotBeUsedGivesTheDefaultSet", "speakers:out=2"));
    return;
  }
  // The ALSA default device where one opens, else a null output: one output device either way.
  auto ids = deviceList();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(
      deviceValue<AudioStreamBasicDescription>(ids[0], false, kAudioDevicePropertyStreamFormat)
          .mChannelsPerFrame,
      2u);
  AudioDeviceID out = 0;
  UInt32 size = sizeof out;
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &out), 0);
  EXPECT_EQ(out, ids[0]);
}

TEST(HalEnvironment, NoneMeansNoDevices) {
  if (!inChild()) {
    EXPECT_TRUE(runChild("NoneMeansNoDevices", "none"));
    return;
  }
  EXPECT_TRUE(deviceList().empty());
  AudioDeviceID out = 99;
  UInt32 size = sizeof out;
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &out), 0);
  EXPECT_EQ(out, UInt32(kAudioDeviceUnknown));
}

}  // namespace
