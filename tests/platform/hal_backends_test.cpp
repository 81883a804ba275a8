// The capture and ALSA backends write what the IO procedure produced: the capture device a WAV
// file, the ALSA device a PCM (here ALSA's file plugin over its null plugin, no card needed).
#include <sndfile.h>
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

// IO thread: writes a ramp that continues across cycles, in every channel; no allocation.
struct Ramp {
  UInt32 next = 0;
};
OSStatus RampProc(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *,
                  const AudioTimeStamp *, AudioBufferList *out, const AudioTimeStamp *,
                  void *data) {
  auto *ramp = static_cast<Ramp *>(data);
  AudioBuffer &b = out->mBuffers[0];
  auto *s = static_cast<Float32 *>(b.mData);
  UInt32 frames = b.mDataByteSize / 4 / b.mNumberChannels;
  for (UInt32 f = 0; f < frames; ++f, ++ramp->next) {
    for (UInt32 c = 0; c < b.mNumberChannels; ++c) {
      s[f * b.mNumberChannels + c] = Float32(ramp->next % 1000) / 1000.0f * (c % 2 ? -1.0f : 1.0f);
    }
  }
  return 0;
}

Float32 expected(size_t frame, UInt32 channel) {
  return Float32(frame % 1000) / 1000.0f * (channel % 2 ? -1.0f : 1.0f);
}

std::string tempPath(const char *suffix) {
  return "/tmp/xnq_hal_" + std::to_string(getpid()) + suffix;
}

class HalBackends : public HalTest {};

TEST_F(HalBackends, CaptureWritesTheProcedureOutputToWav) {
  std::string path = tempPath(".wav");
  std::string text =
      "capture:name=Recorder,path=" + path + ",out=2,rate=22050,frames=100,clock=stepped";
  ASSERT_EQ(xnq_hal_configure(text.c_str()), 0) << xnq_hal_last_error();
  AudioDeviceID dev = 0;
  UInt32 size = sizeof dev;
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &dev), 0);
  Ramp ramp;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RampProc, &ramp), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RampProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 7), 7u);
  ASSERT_EQ(AudioDeviceStop(dev, RampProc), 0);
  // Volume and mute act on what the device plays, after the procedure.
  Float32 half = 0.5f;
  ASSERT_EQ(
      AudioDeviceSetProperty(dev, nullptr, 0, false, kAudioDevicePropertyVolumeScalar, 4, &half),
      0);
  ASSERT_EQ(AudioDeviceStart(dev, RampProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 1), 1u);
  ASSERT_EQ(AudioDeviceStop(dev, RampProc), 0);

  SF_INFO info{};
  SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.samplerate, 22050);
  EXPECT_EQ(info.channels, 2);
  ASSERT_EQ(info.frames, 800);
  std::vector<float> samples(800 * 2);
  ASSERT_EQ(sf_readf_float(file, samples.data(), 800), 800);
  sf_close(file);
  for (size_t f = 0; f < 700; ++f) {
    ASSERT_EQ(samples[f * 2], expected(f, 0)) << f;
    ASSERT_EQ(samples[f * 2 + 1], expected(f, 1)) << f;
  }
  Float32 gain = samples[750 * 2] / expected(750, 0);
  EXPECT_GT(gain, 0.0f);
  EXPECT_LT(gain, 0.5f);  // half way down the fader is well under half the amplitude
  xnq_hal_reset();
  std::remove(path.c_str());
}

TEST_F(HalBackends, AlsaWritesTheProcedureOutputThroughTheFilePlugin) {
  std::string path = tempPath(".raw");
  std::string text = "alsa:name=Card,pcm=\"file:FILE=" + path +
                     ",FORMAT=raw\",out=2,rate=48000,frames=256,clock=stepped";
  ASSERT_EQ(xnq_hal_configure(text.c_str()), 0) << xnq_hal_last_error();
  AudioDeviceID dev = 0;
  UInt32 size = sizeof dev;
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &dev), 0);
  EXPECT_EQ(deviceValue<UInt32>(dev, false, kAudioDevicePropertyTransportType),
            UInt32(kAudioDeviceTransportTypeBuiltIn));
  Ramp ramp;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RampProc, &ramp), 0);
  ASSERT_EQ(AudioDeviceStart(dev, RampProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 10), 10u);
  // The PCM took float samples (the null plugin takes any format).
  AudioStreamID stream = 0;
  size = sizeof stream;
  ASSERT_EQ(AudioDeviceGetProperty(dev, 0, false, kAudioDevicePropertyStreams, &size, &stream), 0);
  AudioStreamBasicDescription physical{};
  size = sizeof physical;
  ASSERT_EQ(AudioStreamGetProperty(stream, 0, kAudioStreamPropertyPhysicalFormat, &size, &physical),
            0);
  EXPECT_EQ(physical.mFormatFlags & kAudioFormatFlagIsFloat, UInt32(kAudioFormatFlagIsFloat));
  ASSERT_EQ(AudioDeviceStop(dev, RampProc), 0);
  xnq_hal_reset();

  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 2560u * 2 * 4);
  std::vector<float> written(bytes.size() / 4);
  std::memcpy(written.data(), bytes.data(), bytes.size());
  for (size_t f = 0; f < 2560; ++f) {
    ASSERT_EQ(written[f * 2], expected(f, 0)) << f;
    ASSERT_EQ(written[f * 2 + 1], expected(f, 1)) << f;
  }
  std::remove(path.c_str());
}

// IO thread: checks the input it is given; no allocation.
struct InputCheck {
  std::atomic<int> calls{0};
  std::atomic<int> nonZero{0};
  std::atomic<UInt32> channels{0}, outBuffers{99};
};
OSStatus InputProc(AudioObjectID, const AudioTimeStamp *, const AudioBufferList *in,
                   const AudioTimeStamp *, AudioBufferList *out, const AudioTimeStamp *,
                   void *data) {
  auto *check = static_cast<InputCheck *>(data);
  ++check->calls;
  check->outBuffers = out->mNumberBuffers;
  if (in->mNumberBuffers == 1) {
    check->channels = in->mBuffers[0].mNumberChannels;
    auto *s = static_cast<const Float32 *>(in->mBuffers[0].mData);
    for (UInt32 i = 0; i < in->mBuffers[0].mDataByteSize / 4; ++i) {
      if (s[i] != 0.0f) ++check->nonZero;
    }
  }
  return 0;
}

TEST_F(HalBackends, AlsaInputReadsThePcmAndAPcmThatDoesNotExistFailsToStart) {
  // ALSA's null PCM captures silence.
  ASSERT_EQ(xnq_hal_configure("alsa:name=Line In,pcm=null,out=0,in=2,frames=128,clock=stepped"), 0)
      << xnq_hal_last_error();
  AudioDeviceID dev = 0, output = 99;
  UInt32 size = sizeof dev;
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultInputDevice, &size, &dev), 0);
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &output), 0);
  EXPECT_EQ(output, 0u);  // no output device at all
  InputCheck check;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, InputProc, &check), 0);
  ASSERT_EQ(AudioDeviceStart(dev, InputProc), 0);
  ASSERT_EQ(xnq_hal_step(dev, 4), 4u);
  ASSERT_EQ(AudioDeviceStop(dev, InputProc), 0);
  EXPECT_EQ(check.calls, 4);
  EXPECT_EQ(check.channels, 2u);
  EXPECT_EQ(check.outBuffers, 0u);
  EXPECT_EQ(check.nonZero, 0);

  ASSERT_EQ(xnq_hal_configure("alsa:pcm=no_such_pcm_here,clock=stepped"), 0);
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &dev), 0);
  Ramp ramp;
  ASSERT_EQ(AudioDeviceAddIOProc(dev, RampProc, &ramp), 0);
  EXPECT_NE(AudioDeviceStart(dev, RampProc), 0);
  EXPECT_EQ(deviceValue<UInt32>(dev, false, kAudioDevicePropertyDeviceIsRunning), 0u);
  // A capture device whose file can't be written is refused, naming the path.
  EXPECT_NE(xnq_hal_configure("capture:path=/nonexistent-dir/x.wav"), 0);
  EXPECT_NE(std::string(xnq_hal_last_error()).find("/nonexistent-dir/x.wav"), std::string::npos);
}

}  // namespace
