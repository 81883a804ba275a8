// The ALSA backend plays what the IO procedure produced, after the device's volume, through a PCM
// (here ALSA's file plugin over its null plugin, no card needed), and reads its input side. The
// capture backend's WAV file is read sample for sample by the xnq stream tests.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hal_test_support.h"

using namespace hal_test;

namespace {

Float32 Expected(size_t frame, UInt32 channel) {
  return Float32(frame % 1000) / 1000.0f * (channel % 2 ? -1.0f : 1.0f);
}

// IO thread: writes a ramp that continues across cycles into every channel and checks the input
// it is given; no allocation.
struct Ramp {
  UInt32 next = 0;
  std::atomic<int> calls{0}, nonZeroInput{0};
  std::atomic<UInt32> inChannels{0}, outBuffers{99};
};
OSStatus RampProc(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *in,
                  const AudioTimeStamp *, AudioBufferList *out, const AudioTimeStamp *,
                  void *data) {
  auto *ramp = static_cast<Ramp *>(data);
  ++ramp->calls;
  if (in->mNumberBuffers == 1) {
    ramp->inChannels = in->mBuffers[0].mNumberChannels;
    auto *s = static_cast<const Float32 *>(in->mBuffers[0].mData);
    for (UInt32 i = 0; i < in->mBuffers[0].mDataByteSize / 4; ++i) ramp->nonZeroInput += s[i] != 0;
  }
  ramp->outBuffers = out->mNumberBuffers;
  for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
    auto *s = static_cast<Float32 *>(out->mBuffers[b].mData);
    const UInt32 channels = out->mBuffers[b].mNumberChannels;
    for (UInt32 f = 0; f < out->mBuffers[b].mDataByteSize / 4 / channels; ++f, ++ramp->next) {
      for (UInt32 c = 0; c < channels; ++c) s[f * channels + c] = Expected(ramp->next, c);
    }
  }
  return 0;
}

AudioDeviceID Default(AudioObjectPropertySelector which) {
  return hardwareValue<AudioDeviceID>(which);
}

class HalBackends : public HalTest {};

TEST_F(HalBackends, AlsaPlaysTheProcedureOutputAfterTheVolume) {
  const std::string path = "/tmp/xnq_hal_" + std::to_string(getpid()) + ".raw";
  const std::string text = "alsa:name=Card,pcm=\"file:FILE=" + path +
                           ",FORMAT=raw\",out=2,rate=48000,frames=256,clock=stepped";
  ASSERT_EQ(xnq_hal_configure(text.c_str()), 0) << xnq_hal_last_error();
  const AudioDeviceID dev = Default(kAudioHardwarePropertyDefaultOutputDevice);
  EXPECT_EQ(deviceValue<UInt32>(dev, false, kAudioDevicePropertyTransportType),
            UInt32(kAudioDeviceTransportTypeBuiltIn));
  Ramp ramp;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RampProc, &ramp), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RampProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 9), 9u);
  ASSERT_EQ(
      setObject(dev, address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput),
                0.5f),
      0);
  ASSERT_EQ(xnq_hal_step(dev, 1), 1u);
  // The PCM took float samples (the null plugin takes any format).
  const auto stream = deviceValue<AudioStreamID>(dev, false, kAudioDevicePropertyStreams);
  AudioStreamBasicDescription physical{};
  UInt32 size = sizeof physical;
  ASSERT_EQ(AudioStreamGetProperty(stream, 0, kAudioStreamPropertyPhysicalFormat, &size, &physical),
            0);
  EXPECT_TRUE(physical.mFormatFlags & kAudioFormatFlagIsFloat);
  xnq_hal_reset();
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 2560u * 2 * 4);
  std::vector<float> written(bytes.size() / 4);
  std::memcpy(written.data(), bytes.data(), bytes.size());
  for (size_t f = 0; f < 2304; ++f) {
    ASSERT_EQ(written[f * 2], Expected(f, 0)) << f;
    ASSERT_EQ(written[f * 2 + 1], Expected(f, 1)) << f;
  }
  // Half way down the fader is well under half the amplitude.
  const Float32 gain = written[2400 * 2] / Expected(2400, 0);
  EXPECT_GT(gain, 0.0f);
  EXPECT_LT(gain, 0.5f);
  std::remove(path.c_str());
}

TEST_F(HalBackends, AlsaInputReadsThePcmAndBackendsThatCannotOpenAreRefused) {
  // ALSA's null PCM captures silence.
  ASSERT_EQ(xnq_hal_configure("alsa:name=Line In,pcm=null,out=0,in=2,frames=128,clock=stepped"), 0)
      << xnq_hal_last_error();
  const AudioDeviceID dev = Default(kAudioHardwarePropertyDefaultInputDevice);
  EXPECT_EQ(Default(kAudioHardwarePropertyDefaultOutputDevice), 0u);  // no output device at all
  Ramp ramp;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RampProc, &ramp), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RampProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 4), 4u);
  EXPECT_EQ(ramp.calls, 4);
  EXPECT_EQ(ramp.inChannels, 2u);
  EXPECT_EQ(ramp.outBuffers, 0u);  // an input-only device gives no output buffer
  EXPECT_EQ(ramp.nonZeroInput, 0);
  ASSERT_EQ(xnq_hal_configure("alsa:pcm=no_such_pcm_here,clock=stepped"), 0);
  const AudioDeviceID missing = Default(kAudioHardwarePropertyDefaultOutputDevice);
  ASSERT_EQ(AudioDeviceAddIOProc(missing, RampProc, &ramp), 0);
  EXPECT_NE(AudioDeviceStart(missing, RampProc), 0);
  EXPECT_EQ(deviceValue<UInt32>(missing, false, kAudioDevicePropertyDeviceIsRunning), 0u);
  // A capture device whose file can't be written is refused, naming the path.
  EXPECT_NE(xnq_hal_configure("capture:path=/nonexistent-dir/x.wav"), 0);
  EXPECT_NE(std::string(xnq_hal_last_error()).find("/nonexistent-dir/x.wav"), std::string::npos);
}

}  // namespace
