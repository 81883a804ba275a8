// XNQ_AUDIO_DEVICES is read on the first call of the audio hardware, so each list is tried in a
// child process of this test program, which describes the devices it got.
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hal_test_support.h"

using namespace hal_test;

namespace {

std::string Describe() {
  auto devs = address(kAudioHardwarePropertyDevices);
  AudioDeviceID ids[8];
  UInt32 size = sizeof ids;
  AudioObjectGetPropertyData(kAudioObjectSystemObject, &devs, 0, nullptr, &size, ids);
  std::string text = std::to_string(size / sizeof(AudioDeviceID));
  for (UInt32 i = 0; i < size / sizeof(AudioDeviceID); ++i) {
    auto channels = [&](bool input) {
      UInt32 bytes = 0;
      AudioDeviceGetPropertyInfo(ids[i], 0, input, kAudioDevicePropertyStreamFormat, &bytes,
                                 nullptr);
      return bytes == 0 ? 0u
                        : deviceValue<AudioStreamBasicDescription>(ids[i], input,
                                                                   kAudioDevicePropertyStreamFormat)
                              .mChannelsPerFrame;
    };
    text += "|" + cfProperty(ids[i], kAudioObjectPropertyName) + " " +
            std::to_string(channels(false)) + " " + std::to_string(channels(true)) + " " +
            std::to_string(
                int(deviceValue<Float64>(ids[i], false, kAudioDevicePropertyNominalSampleRate)));
  }
  for (auto which :
       {kAudioHardwarePropertyDefaultOutputDevice, kAudioHardwarePropertyDefaultInputDevice}) {
    AudioDeviceID id = 0;
    UInt32 idSize = sizeof id;
    AudioHardwareGetProperty(which, &idSize, &id);
    text += id ? "|default " + cfProperty(id, kAudioObjectPropertyName) : "|no default";
  }
  return text + "|" + xnq_hal_configuration_error();
}

TEST(HalEnvironment, TheDeviceListIsReadOnFirstUse) {
  if (std::getenv("XNQ_HAL_ENVIRONMENT_CHILD") != nullptr) {
    printf("\n[%s]\n", Describe().c_str());
    return;
  }
  const struct {
    const char *devices, *expected;
  } cases[] = {
      {"null:name=From Env,out=4,rate=32000; null:name=Env In,out=0,in=1",
       "[2|From Env 4 0 32000|Env In 0 1 44100|default From Env|default Env In|]"},
      {"none", "[0|no default|no default|]"},
      // A list that can't be used leaves no device, and the error names the entry and the
      // problem; the devices of the entries before it are taken away again.
      {"speakers:out=2",
       "[0|no default|no default|XNQ_AUDIO_DEVICES: entry 1 'speakers:out=2': "
       "unknown backend 'speakers'"},
      {"null;null:rate=0",
       "[0|no default|no default|XNQ_AUDIO_DEVICES: entry 2 'null:rate=0': "
       "rate takes a whole number of Hz from 1000 to 768000, not '0']"},
      {"null:frames=1", "entry 1 'null:frames=1': frames takes a whole number from 32 to 8192"},
      {"null:clock=bogus", "clock takes realtime, free or stepped, not 'bogus'"},
      {"null:out=-1", "out takes a whole number from 0 to 64, not '-1'"},
      {"null:colour=red", "unknown key 'colour'"},
      {"null:volume", "setting without a value: 'volume'"},
      {"capture:out=2", "a capture device needs path=FILE"},
      {"null:out=0", "a device needs out or in channels"},
      {";", "no device named"},
      {"null:name=A;capture:path=/nonexistent/dir/x.wav",
       "[0|no default|no default|XNQ_AUDIO_DEVICES: entry 2 'capture:path=/nonexistent/dir/x.wav': "
       "cannot write '/nonexistent/dir/x.wav'"},
  };
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  for (const auto &c : cases) {
    const std::string command = std::string("XNQ_HAL_ENVIRONMENT_CHILD=1 XNQ_AUDIO_DEVICES='") +
                                c.devices + "' '" + self +
                                "' --gtest_filter=HalEnvironment.TheDeviceListIsReadOnFirstUse";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << out;
    EXPECT_NE(out.find(c.expected), std::string::npos) << c.devices << "\n" << out;
  }
}

}  // namespace
