// The output units that drive a device: 'def ' and 'sys ' play to the system's choice, 'ahal' to
// the device it is given. Devices run on a stepped clock, so every IO cycle is the test's.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "os/audio_unit.h"
#include "platform/audio_devices.h"

namespace {

constexpr AudioUnitParameterID kVolume = 14;

XnqDeviceConfig steppedDevice(const char *name, UInt32 channels, UInt32 frames) {
  XnqDeviceConfig config{};
  config.backend = "null";
  config.name = name;
  config.sampleRate = 48000;
  config.outputChannels = channels;
  config.bufferFrames = frames;
  config.clock = XNQ_CLOCK_STEPPED;
  return config;
}

// Each client channel c carries c * 1000 + its running frame number.
struct Source {
  std::vector<UInt32> sliceFrames;
  std::vector<Float64> sliceTimes;
  UInt32 produced = 0;
};

OSStatus sourceCallback(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *timeStamp,
                        UInt32, UInt32 frames, AudioBufferList *ioData) {
  auto *source = static_cast<Source *>(refCon);
  source->sliceFrames.push_back(frames);
  source->sliceTimes.push_back(timeStamp->mSampleTime);
  for (UInt32 c = 0; c < ioData->mNumberBuffers; ++c) {
    auto *samples = static_cast<Float32 *>(ioData->mBuffers[c].mData);
    for (UInt32 f = 0; f < frames; ++f)
      samples[f] = static_cast<Float32>(c * 1000 + source->produced + f);
  }
  source->produced += frames;
  return noErr;
}

struct Tap {
  std::mutex mutex;
  std::vector<Float32> samples;
  UInt32 channels = 0;
};

void tapOutput(const Float32 *interleaved, UInt32 frames, UInt32 channels, void *context) {
  auto *tap = static_cast<Tap *>(context);
  std::lock_guard<std::mutex> lock(tap->mutex);
  tap->channels = channels;
  tap->samples.insert(tap->samples.end(), interleaved, interleaved + frames * channels);
}

class DeviceOutputUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    xnq_hal_reset();
    config_ = steppedDevice("Stepped Out", 2, 256);
    device_ = xnq_hal_add_device(&config_);
    ASSERT_NE(device_, kAudioDeviceUnknown);
    ASSERT_EQ(xnq_hal_set_output_tap(device_, tapOutput, &tap_), noErr);
  }
  void TearDown() override {
    if (unit_ != nullptr) CloseComponent(unit_);
    xnq_hal_reset();
  }
  void openWithSource(OSType subType) {
    unit_ = OpenDefaultComponent(kAudioUnitType_Output, subType);
    ASSERT_NE(unit_, nullptr);
    AURenderCallbackStruct callback{sourceCallback, &source_};
    ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_SetRenderCallback,
                                   kAudioUnitScope_Input, 0, &callback, sizeof callback),
              noErr);
  }
  UInt32 uintProperty(AudioUnitPropertyID id, AudioUnitScope scope = kAudioUnitScope_Global,
                      AudioUnitElement element = 0) {
    UInt32 value = 0xDEAD, size = sizeof value;
    EXPECT_EQ(AudioUnitGetProperty(unit_, id, scope, element, &value, &size), noErr);
    return value;
  }

  XnqDeviceConfig config_{};
  AudioDeviceID device_ = kAudioDeviceUnknown;
  AudioUnit unit_ = nullptr;
  Source source_;
  Tap tap_;
};

TEST_F(DeviceOutputUnit, DefaultOutputPlaysItsInputOnTheDefaultDevice) {
  openWithSource(kAudioUnitSubType_DefaultOutput);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_CurrentDevice), device_);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_HasIO, kAudioUnitScope_Output, 0), 1u);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0), 1u);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_HasIO, kAudioUnitScope_Input, 1), 0u);
  AudioDeviceID other = device_;
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioOutputUnitProperty_CurrentDevice,
                                 kAudioUnitScope_Global, 0, &other, sizeof other),
            kAudioUnitErr_PropertyNotWritable);

  // The output side is the device's interleaved format; the input starts at its rate.
  AudioStreamBasicDescription format{};
  UInt32 size = sizeof format;
  ASSERT_EQ(AudioUnitGetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                 &format, &size),
            noErr);
  EXPECT_EQ(format.mSampleRate, 48000);
  EXPECT_EQ(format.mChannelsPerFrame, 2u);

  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_IsRunning), 1u);
  ASSERT_EQ(xnq_hal_step(device_, 2), 2u);
  ASSERT_EQ(AudioOutputUnitStop(unit_), noErr);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_IsRunning), 0u);

  std::lock_guard<std::mutex> lock(tap_.mutex);
  ASSERT_EQ(tap_.channels, 2u);
  ASSERT_EQ(tap_.samples.size(), 2u * 512);
  for (UInt32 f = 0; f < 512; ++f) {
    ASSERT_EQ(tap_.samples[2 * f], static_cast<Float32>(f)) << f;
    ASSERT_EQ(tap_.samples[2 * f + 1], static_cast<Float32>(1000 + f)) << f;
  }
  EXPECT_EQ(source_.sliceTimes, (std::vector<Float64>{0, 256}));
}

TEST_F(DeviceOutputUnit, ChannelMapAndVolumeShapeWhatTheDeviceGets) {
  openWithSource(kAudioUnitSubType_DefaultOutput);
  UInt32 size = 0;
  Boolean writable = false;
  ASSERT_EQ(AudioUnitGetPropertyInfo(unit_, kAudioOutputUnitProperty_ChannelMap,
                                     kAudioUnitScope_Output, 0, &size, &writable),
            noErr);
  EXPECT_EQ(size, 8u);
  EXPECT_TRUE(writable);
  SInt32 map[2] = {7, 7};
  ASSERT_EQ(AudioUnitGetProperty(unit_, kAudioOutputUnitProperty_ChannelMap, kAudioUnitScope_Output,
                                 0, map, &size),
            noErr);
  EXPECT_EQ(map[0], 0);
  EXPECT_EQ(map[1], 1);

  // Device channel 0 plays client channel 1; channel 1 is left silent.
  SInt32 swapped[1] = {1};
  ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioOutputUnitProperty_ChannelMap, kAudioUnitScope_Output,
                                 0, swapped, sizeof swapped),
            noErr);
  SInt32 invalid[2] = {-2, 0};
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioOutputUnitProperty_ChannelMap, kAudioUnitScope_Output,
                                 0, invalid, sizeof invalid),
            kAudioUnitErr_InvalidPropertyValue);
  EXPECT_EQ(AudioUnitSetParameter(unit_, kVolume, kAudioUnitScope_Global, 0, 2.0f, 0),
            kAudioUnitErr_InvalidParameter);
  ASSERT_EQ(AudioUnitSetParameter(unit_, kVolume, kAudioUnitScope_Global, 0, 0.5f, 0), noErr);
  Float32 volume = 0;
  ASSERT_EQ(AudioUnitGetParameter(unit_, kVolume, kAudioUnitScope_Global, 0, &volume), noErr);
  EXPECT_EQ(volume, 0.5f);

  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  AudioOutputUnitStop(unit_);
  std::lock_guard<std::mutex> lock(tap_.mutex);
  ASSERT_EQ(tap_.samples.size(), 512u);
  for (UInt32 f = 0; f < 256; ++f) {
    ASSERT_EQ(tap_.samples[2 * f], 0.5f * static_cast<Float32>(1000 + f)) << f;
    ASSERT_EQ(tap_.samples[2 * f + 1], 0.0f) << f;
  }
}

TEST_F(DeviceOutputUnit, LongDeviceBuffersAreRenderedInSlices) {
  xnq_hal_reset();
  config_ = steppedDevice("Long Buffers", 1, 2048);
  device_ = xnq_hal_add_device(&config_);
  ASSERT_EQ(xnq_hal_set_output_tap(device_, tapOutput, &tap_), noErr);
  openWithSource(kAudioUnitSubType_SystemOutput);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_CurrentDevice), device_);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  AudioOutputUnitStop(unit_);
  EXPECT_EQ(source_.sliceFrames, (std::vector<UInt32>{1156, 892}));
  EXPECT_EQ(source_.sliceTimes, (std::vector<Float64>{0, 1156}));
  std::lock_guard<std::mutex> lock(tap_.mutex);
  ASSERT_EQ(tap_.samples.size(), 2048u);
  EXPECT_EQ(tap_.samples[2047], 2047.0f);
}

TEST_F(DeviceOutputUnit, HALOutputMovesToTheDeviceItIsGivenEvenWhilePlaying) {
  XnqDeviceConfig secondConfig = steppedDevice("Second Out", 2, 128);
  AudioDeviceID second = xnq_hal_add_device(&secondConfig);
  ASSERT_NE(second, kAudioDeviceUnknown);
  Tap secondTap;
  ASSERT_EQ(xnq_hal_set_output_tap(second, tapOutput, &secondTap), noErr);

  openWithSource(kAudioUnitSubType_HALOutput);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_CurrentDevice), device_);
  AudioDeviceID bogus = 0x7777;
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioOutputUnitProperty_CurrentDevice,
                                 kAudioUnitScope_Global, 0, &bogus, sizeof bogus),
            kAudioUnitErr_InvalidPropertyValue);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);

  ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioOutputUnitProperty_CurrentDevice,
                                 kAudioUnitScope_Global, 0, &second, sizeof second),
            noErr);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_CurrentDevice), second);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_IsRunning), 1u);
  EXPECT_EQ(xnq_hal_step(second, 1), 1u);
  // The first device no longer calls the unit.
  EXPECT_EQ(xnq_hal_step(device_, 1), 0u);
  AudioOutputUnitStop(unit_);
  std::lock_guard<std::mutex> lock(secondTap.mutex);
  ASSERT_EQ(secondTap.samples.size(), 256u);
  EXPECT_EQ(secondTap.samples[0], 256.0f);
}

TEST_F(DeviceOutputUnit, DefaultOutputFollowsTheSystemsChoiceWhilePlaying) {
  XnqDeviceConfig secondConfig = steppedDevice("New Default", 2, 64);
  AudioDeviceID second = xnq_hal_add_device(&secondConfig);
  openWithSource(kAudioUnitSubType_DefaultOutput);
  AudioUnit system = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_SystemOutput);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);

  ASSERT_EQ(
      AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, sizeof second, &second),
      noErr);
  xnq_hal_flush_notifications();
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_CurrentDevice), second);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_IsRunning), 1u);
  EXPECT_EQ(xnq_hal_step(second, 1), 1u);
  EXPECT_EQ(xnq_hal_step(device_, 1), 0u);
  EXPECT_EQ(source_.sliceFrames, (std::vector<UInt32>{256, 64}));
  // The system output unit follows its own setting, which did not change.
  AudioDeviceID systemDevice = 0;
  UInt32 size = sizeof systemDevice;
  ASSERT_EQ(AudioUnitGetProperty(system, kAudioOutputUnitProperty_CurrentDevice,
                                 kAudioUnitScope_Global, 0, &systemDevice, &size),
            noErr);
  EXPECT_EQ(systemDevice, device_);

  // When the device it plays to goes away and no default is left, the unit stops.
  ASSERT_EQ(xnq_hal_remove_device(second), noErr);
  ASSERT_EQ(xnq_hal_remove_device(device_), noErr);
  xnq_hal_flush_notifications();
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_IsRunning), 0u);
  EXPECT_EQ(CloseComponent(system), noErr);
}

TEST_F(DeviceOutputUnit, TwoUnitsShareOneDevice) {
  openWithSource(kAudioUnitSubType_DefaultOutput);
  AudioUnit second = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_DefaultOutput);
  Source otherSource;
  AURenderCallbackStruct callback{sourceCallback, &otherSource};
  ASSERT_EQ(AudioUnitSetProperty(second, kAudioUnitProperty_SetRenderCallback,
                                 kAudioUnitScope_Input, 0, &callback, sizeof callback),
            noErr);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioUnitInitialize(second), noErr);
  ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  ASSERT_EQ(AudioOutputUnitStart(second), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_EQ(source_.sliceFrames.size(), 1u);
  EXPECT_EQ(otherSource.sliceFrames.size(), 1u);
  EXPECT_EQ(CloseComponent(second), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_EQ(source_.sliceFrames.size(), 2u);
  EXPECT_EQ(otherSource.sliceFrames.size(), 1u);
}

TEST_F(DeviceOutputUnit, FailuresOfTheDeviceReachTheCaller) {
  openWithSource(kAudioUnitSubType_DefaultOutput);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(xnq_hal_fail_next_start(device_, kAudioHardwareIllegalOperationError), noErr);
  EXPECT_EQ(AudioOutputUnitStart(unit_), kAudioHardwareIllegalOperationError);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_IsRunning), 0u);
  EXPECT_EQ(AudioOutputUnitStart(unit_), noErr);
  CloseComponent(unit_);
  unit_ = nullptr;

  // Without any device the default output unit cannot initialize.
  xnq_hal_reset();
  openWithSource(kAudioUnitSubType_DefaultOutput);
  EXPECT_EQ(uintProperty(kAudioOutputUnitProperty_CurrentDevice), kAudioDeviceUnknown);
  EXPECT_EQ(AudioUnitInitialize(unit_), kAudioUnitErr_FailedInitialization);
  EXPECT_EQ(AudioOutputUnitStart(unit_), kAudioUnitErr_Uninitialized);
}

}  // namespace
