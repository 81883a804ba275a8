// The output units that drive a device: 'def ' and 'sys ' play to the system's choice, 'ahal' to
// the device it is given. Devices run on a stepped clock, so every IO cycle is the test's.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "hal_test_support.h"

using namespace hal_test;

namespace {

constexpr AudioUnitParameterID kVolume = 14;

// Each client channel c carries c * 1000 + its running frame number.
struct Source {
  std::vector<UInt32> sliceFrames;
  std::vector<Float64> sliceTimes;
  UInt32 produced = 0;
};

OSStatus SourceCallback(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *time,
                        UInt32, UInt32 frames, AudioBufferList *ioData) {
  auto *source = static_cast<Source *>(refCon);
  source->sliceFrames.push_back(frames);
  source->sliceTimes.push_back(time->mSampleTime);
  for (UInt32 c = 0; c < ioData->mNumberBuffers; ++c) {
    auto *samples = static_cast<Float32 *>(ioData->mBuffers[c].mData);
    for (UInt32 f = 0; f < frames; ++f) samples[f] = Float32(c * 1000 + source->produced + f);
  }
  source->produced += frames;
  return noErr;
}

struct Tap {
  std::mutex mutex;
  std::vector<Float32> samples;
};

void TapOutput(const Float32 *interleaved, UInt32 frames, UInt32 channels, void *context) {
  auto *tap = static_cast<Tap *>(context);
  std::lock_guard<std::mutex> lock(tap->mutex);
  tap->samples.insert(tap->samples.end(), interleaved, interleaved + frames * channels);
}

class DeviceOutputUnit : public hal_test::HalTest {
 protected:
  void SetUp() override {
    HalTest::SetUp();
    device_ = AddDevice(2, 256, &tap_);
  }
  void TearDown() override {
    if (unit_ != nullptr) CloseComponent(unit_);
    HalTest::TearDown();
  }
  static AudioDeviceID AddDevice(UInt32 channels, UInt32 frames, Tap *tap) {
    XnqDeviceConfig config = nullConfig(nullptr, channels, 0, XNQ_CLOCK_STEPPED, frames);
    const AudioDeviceID device = xnq_hal_add_device(&config);
    xnq_hal_set_output_tap(device, TapOutput, tap);
    return device;
  }
  AudioUnit Open(OSType subType, Source *source) {
    AudioUnit unit = OpenDefaultComponent(kAudioUnitType_Output, subType);
    AURenderCallbackStruct callback{SourceCallback, source};
    EXPECT_EQ(unitSet(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, callback),
              noErr);
    return unit;
  }
  void OpenAndStart(OSType subType) {
    unit_ = Open(subType, &source_);
    ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  }
  UInt32 Property(AudioUnitPropertyID id, AudioUnitScope scope = 0, AudioUnitElement element = 0) {
    UInt32 value = 0xDEAD, size = sizeof value;
    EXPECT_EQ(AudioUnitGetProperty(unit_, id, scope, element, &value, &size), noErr);
    return value;
  }

  AudioDeviceID device_ = 0;
  AudioUnit unit_ = nullptr;
  Source source_;
  Tap tap_;
};

TEST_F(DeviceOutputUnit, DefaultOutputPlaysItsInputOnTheDefaultDevice) {
  unit_ = Open(kAudioUnitSubType_DefaultOutput, &source_);
  EXPECT_EQ(Property(kAudioOutputUnitProperty_CurrentDevice), device_);
  EXPECT_EQ(Property(kAudioOutputUnitProperty_HasIO, kAudioUnitScope_Output, 0), 1u);
  EXPECT_EQ(Property(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0), 1u);
  EXPECT_EQ(Property(kAudioOutputUnitProperty_HasIO, kAudioUnitScope_Input, 1), 0u);
  EXPECT_EQ(unitSet(unit_, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, device_),
            kAudioUnitErr_PropertyNotWritable);
  // The input starts at the device's rate and channels.
  AudioStreamBasicDescription format{};
  ASSERT_EQ(unitGet(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, &format), noErr);
  EXPECT_EQ(format.mSampleRate, 48000);
  EXPECT_EQ(format.mChannelsPerFrame, 2u);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  // A second unit on the same device is summed; closed, it no longer renders.
  Source otherSource;
  AudioUnit other = Open(kAudioUnitSubType_DefaultOutput, &otherSource);
  ASSERT_EQ(AudioUnitInitialize(other), noErr);
  ASSERT_EQ(AudioOutputUnitStart(other), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_EQ(CloseComponent(other), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  ASSERT_EQ(AudioOutputUnitStop(unit_), noErr);
  EXPECT_EQ(Property(kAudioOutputUnitProperty_IsRunning), 0u);
  EXPECT_EQ(otherSource.sliceFrames.size(), 1u);
  EXPECT_EQ(source_.sliceTimes, (std::vector<Float64>{0, 256}));
  std::lock_guard<std::mutex> lock(tap_.mutex);
  ASSERT_EQ(tap_.samples.size(), 2u * 512);
  for (UInt32 f = 0; f < 512; ++f) {
    const Float32 twice = f < 256 ? 2.0f : 1.0f;  // both units in the first cycle
    ASSERT_EQ(tap_.samples[2 * f], twice * Float32(f % 256) + (f < 256 ? 0 : 256)) << f;
    ASSERT_EQ(tap_.samples[2 * f + 1], twice * Float32(1000 + f % 256) + (f < 256 ? 0 : 256));
  }
}

TEST_F(DeviceOutputUnit, ChannelMapAndVolumeShapeWhatTheDeviceGets) {
  unit_ = Open(kAudioUnitSubType_DefaultOutput, &source_);
  SInt32 map[2] = {7, 7};
  const AudioUnitScope output = kAudioUnitScope_Output;
  ASSERT_EQ(unitGet(unit_, kAudioOutputUnitProperty_ChannelMap, output, &map), noErr);
  EXPECT_EQ(map[0], 0);
  EXPECT_EQ(map[1], 1);
  // Device channel 0 plays client channel 1; channel 1 is left silent.
  const SInt32 swapped[1] = {1}, invalid[2] = {-2, 0};
  ASSERT_EQ(unitSet(unit_, kAudioOutputUnitProperty_ChannelMap, output, swapped), noErr);
  EXPECT_EQ(unitSet(unit_, kAudioOutputUnitProperty_ChannelMap, output, invalid),
            kAudioUnitErr_InvalidPropertyValue);
  EXPECT_EQ(AudioUnitSetParameter(unit_, kVolume, kAudioUnitScope_Global, 0, 2.0f, 0),
            kAudioUnitErr_InvalidParameter);
  ASSERT_EQ(AudioUnitSetParameter(unit_, kVolume, kAudioUnitScope_Global, 0, 0.5f, 0), noErr);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioOutputUnitStart(unit_), noErr);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  std::lock_guard<std::mutex> lock(tap_.mutex);
  ASSERT_EQ(tap_.samples.size(), 512u);
  for (UInt32 f = 0; f < 256; ++f) {
    ASSERT_EQ(tap_.samples[2 * f], 0.5f * Float32(1000 + f)) << f;
    ASSERT_EQ(tap_.samples[2 * f + 1], 0.0f) << f;
  }
}

TEST_F(DeviceOutputUnit, LongDeviceBuffersAreRenderedInSlices) {
  xnq_hal_reset();
  device_ = AddDevice(1, 2048, &tap_);
  OpenAndStart(kAudioUnitSubType_SystemOutput);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  EXPECT_EQ(source_.sliceFrames, (std::vector<UInt32>{1156, 892}));
  EXPECT_EQ(source_.sliceTimes, (std::vector<Float64>{0, 1156}));
  std::lock_guard<std::mutex> lock(tap_.mutex);
  ASSERT_EQ(tap_.samples.size(), 2048u);
  EXPECT_EQ(tap_.samples[2047], 2047.0f);
}

// 'ahal' moves to the device it is given, also while playing; 'def ' follows the system's
// default device, and stops when the device it plays to goes and no default is left; 'sys '
// follows its own setting.
TEST_F(DeviceOutputUnit, UnitsMoveToTheirDeviceWhilePlaying) {
  Tap secondTap;
  const AudioDeviceID second = AddDevice(2, 128, &secondTap);
  OpenAndStart(kAudioUnitSubType_HALOutput);
  const AudioDeviceID bogus = 0x7777;
  EXPECT_EQ(unitSet(unit_, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, bogus),
            kAudioUnitErr_InvalidPropertyValue);
  ASSERT_EQ(xnq_hal_step(device_, 1), 1u);
  ASSERT_EQ(unitSet(unit_, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, second),
            noErr);
  EXPECT_EQ(Property(kAudioOutputUnitProperty_IsRunning), 1u);
  EXPECT_EQ(xnq_hal_step(second, 1), 1u);
  EXPECT_EQ(xnq_hal_step(device_, 1), 0u);  // the first device no longer calls the unit
  EXPECT_EQ(secondTap.samples.at(0), 256.0f);
  CloseComponent(unit_);

  source_ = Source();
  OpenAndStart(kAudioUnitSubType_DefaultOutput);
  AudioUnit system = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_SystemOutput);
  ASSERT_EQ(AudioHardwareSetProperty(kAudioHardwarePropertyDefaultOutputDevice, 4, &second), noErr);
  xnq_hal_flush_notifications();
  EXPECT_EQ(Property(kAudioOutputUnitProperty_CurrentDevice), second);
  EXPECT_EQ(xnq_hal_step(second, 1), 1u);
  EXPECT_EQ(source_.sliceFrames, (std::vector<UInt32>{128}));
  AudioDeviceID systemDevice = 0;
  ASSERT_EQ(unitGet(system, kAudioOutputUnitProperty_CurrentDevice, 0, &systemDevice), noErr);
  EXPECT_EQ(systemDevice, device_);
  ASSERT_EQ(xnq_hal_remove_device(second), noErr);
  ASSERT_EQ(xnq_hal_remove_device(device_), noErr);
  xnq_hal_flush_notifications();
  EXPECT_EQ(Property(kAudioOutputUnitProperty_IsRunning), 0u);
  EXPECT_EQ(CloseComponent(system), noErr);
}

TEST_F(DeviceOutputUnit, FailuresOfTheDeviceReachTheCaller) {
  unit_ = Open(kAudioUnitSubType_DefaultOutput, &source_);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(xnq_hal_fail_next_start(device_, kAudioHardwareIllegalOperationError), noErr);
  EXPECT_EQ(AudioOutputUnitStart(unit_), kAudioHardwareIllegalOperationError);
  EXPECT_EQ(Property(kAudioOutputUnitProperty_IsRunning), 0u);
  EXPECT_EQ(AudioOutputUnitStart(unit_), noErr);
  CloseComponent(unit_);
  // Without any device the default output unit cannot initialize.
  xnq_hal_reset();
  unit_ = Open(kAudioUnitSubType_DefaultOutput, &source_);
  EXPECT_EQ(Property(kAudioOutputUnitProperty_CurrentDevice), kAudioDeviceUnknown);
  EXPECT_EQ(AudioUnitInitialize(unit_), kAudioUnitErr_FailedInitialization);
  EXPECT_EQ(AudioOutputUnitStart(unit_), kAudioUnitErr_Uninitialized);
}

}  // namespace
