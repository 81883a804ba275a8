// Audio units as a program uses them, on the generic output, which renders only when asked:
// finding and opening the platform's units, property and parameter errors, the life cycle,
// pulling from a render callback or from another unit, and render notifications.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "hal_test_support.h"

using namespace hal_test;

namespace {

AudioStreamBasicDescription FloatFormat(UInt32 channels, bool interleaved, Float64 rate = 44100) {
  const UInt32 frameBytes = interleaved ? 4 * channels : 4;
  const UInt32 flags =
      kAudioFormatFlagsNativeFloatPacked | (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
  return {rate, kAudioFormatLinearPCM, flags, frameBytes, 1, frameBytes, channels, 32, 0};
}

// Writes channel c, frame f as c * 1000 + f, so a test can tell every sample apart.
struct Ramp {
  int calls = 0;
  UInt32 lastFrames = 0;
  Float64 lastSampleTime = -1;
  OSStatus status = noErr;
};

OSStatus RampCallback(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *timeStamp,
                      UInt32, UInt32 frames, AudioBufferList *ioData) {
  auto *ramp = static_cast<Ramp *>(refCon);
  ramp->calls++;
  ramp->lastFrames = frames;
  ramp->lastSampleTime = timeStamp->mSampleTime;
  for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b) {
    auto *samples = static_cast<Float32 *>(ioData->mBuffers[b].mData);
    for (UInt32 f = 0; f < frames; ++f) samples[f] = static_cast<Float32>(b * 1000 + f);
  }
  return ramp->status;
}

// Two non-interleaved channels, the units' own format.
struct TwoBuffers {
  unsigned char bytes[sizeof(AudioBufferList) + sizeof(AudioBuffer)] = {};
  AudioBufferList *list(Float32 *left, Float32 *right, UInt32 frames) {
    auto *l = reinterpret_cast<AudioBufferList *>(bytes);
    l->mNumberBuffers = 2;
    l->mBuffers[0] = {1, frames * 4, left};
    l->mBuffers[1] = {1, frames * 4, right};
    return l;
  }
};

class GenericOutputUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    unit_ = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
    ASSERT_NE(unit_, nullptr);
  }
  void TearDown() override { EXPECT_EQ(CloseComponent(unit_), noErr); }
  void UseRamp(AudioUnit unit, Ramp &ramp) {
    AURenderCallbackStruct callback{RampCallback, &ramp};
    ASSERT_EQ(unitSet(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, callback),
              noErr);
  }
  OSStatus SetFormat(AudioUnitScope scope, const AudioStreamBasicDescription &format) {
    return unitSet(unit_, kAudioUnitProperty_StreamFormat, scope, format);
  }
  AudioUnit unit_ = nullptr;
};

TEST(PlatformUnits, AreRegisteredAsPlatformComponentsAndRefuseStaleInstances) {
  for (OSType subType : {kAudioUnitSubType_GenericOutput, kAudioUnitSubType_HALOutput,
                         kAudioUnitSubType_DefaultOutput, kAudioUnitSubType_SystemOutput}) {
    ComponentDescription looking{kAudioUnitType_Output, subType, kAudioUnitManufacturer_Platform, 0,
                                 0};
    Component c = FindNextComponent(nullptr, &looking);
    ASSERT_NE(c, nullptr) << subType;
    Handle name = NewHandle(0);
    EXPECT_EQ(GetComponentInfo(c, nullptr, name, nullptr, nullptr), noErr);
    EXPECT_GT(GetHandleSize(name), 1);
    DisposeHandle(name);
  }
  AudioUnit unit = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  EXPECT_EQ(GetComponentVersion(unit), 0x00010000);
  EXPECT_EQ(CallComponentCanDo(unit, kComponentCloseSelect), 1);
  EXPECT_EQ(CallComponentCanDo(unit, 1), 0);
  ASSERT_EQ(CloseComponent(unit), noErr);
  Float32 value = 3;
  UInt32 size = 0;
  EXPECT_EQ(AudioUnitGetParameter(unit, 0, 0, 0, &value), badComponentInstance);
  EXPECT_EQ(AudioUnitInitialize(unit), badComponentInstance);
  EXPECT_EQ(AudioOutputUnitStart(reinterpret_cast<AudioUnit>(uintptr_t{42})), badComponentInstance);
  EXPECT_EQ(AudioUnitGetPropertyInfo(nullptr, 0, 0, 0, &size, nullptr), badComponentInstance);
}

TEST_F(GenericOutputUnit, RefusesBadAddressesPropertiesValuesAndParameters) {
  UInt32 size = 0, frames = 0;
  Boolean writable = false;
  Float32 value = 5;
  AudioStreamBasicDescription integer = FloatFormat(2, true);
  integer.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  integer.mBitsPerChannel = 16;
  integer.mBytesPerFrame = integer.mBytesPerPacket = 4;
  AudioStreamBasicDescription badBytes = FloatFormat(2, true);
  badBytes.mBytesPerFrame = 4;
  const AudioUnitPropertyID format = kAudioUnitProperty_StreamFormat;
  const AudioUnitPropertyID slice = kAudioUnitProperty_MaximumFramesPerSlice;
  const AudioUnitScope global = kAudioUnitScope_Global, input = kAudioUnitScope_Input;
  const struct {
    const char *what;
    std::function<OSStatus()> call;
    OSStatus status;
  } calls[] = {
      {"unknown property",
       [&] { return AudioUnitGetPropertyInfo(unit_, 9999, global, 0, &size, &writable); },
       kAudioUnitErr_InvalidProperty},
      {"unknown scope",
       [&] { return AudioUnitGetPropertyInfo(unit_, format, 7, 0, &size, &writable); },
       kAudioUnitErr_InvalidScope},
      {"unknown element",
       [&] { return AudioUnitGetPropertyInfo(unit_, format, input, 5, &size, &writable); },
       kAudioUnitErr_InvalidElement},
      {"read-only latency", [&] { return unitSet(unit_, kAudioUnitProperty_Latency, global, 1.0); },
       kAudioUnitErr_PropertyNotWritable},
      {"wrong size", [&] { return unitSet(unit_, slice, global, 1.0); },
       kAudioUnitErr_InvalidPropertyValue},
      {"quality above 127",
       [&] { return unitSet(unit_, kAudioUnitProperty_RenderQuality, global, UInt32{128}); },
       kAudioUnitErr_InvalidPropertyValue},
      {"integer samples", [&] { return SetFormat(input, integer); },
       kAudioUnitErr_FormatNotSupported},
      {"inconsistent sizes", [&] { return SetFormat(input, badBytes); },
       kAudioUnitErr_FormatNotSupported},
      {"no parameter 0", [&] { return AudioUnitGetParameter(unit_, 0, global, 0, &value); },
       kAudioUnitErr_InvalidParameter},
      {"parameter element", [&] { return AudioUnitSetParameter(unit_, 0, global, 3, 1.0f, 0); },
       kAudioUnitErr_InvalidElement},
  };
  for (const auto &c : calls) EXPECT_EQ(c.call(), c.status) << c.what;
  ASSERT_EQ(AudioUnitGetPropertyInfo(unit_, slice, global, 0, &size, &writable), noErr);
  EXPECT_EQ(size, 4u);
  EXPECT_TRUE(writable);
  ASSERT_EQ(unitGet(unit_, slice, global, &frames), noErr);
  EXPECT_EQ(frames, 1156u);
  ASSERT_EQ(
      AudioUnitGetPropertyInfo(unit_, kAudioUnitProperty_ParameterList, global, 0, &size, nullptr),
      noErr);
  EXPECT_EQ(size, 0u);  // the generic output has no parameters
}

TEST_F(GenericOutputUnit, RendersWhatItsCallbackSuppliesInTheOutputLayout) {
  Ramp ramp;
  UseRamp(unit_, ramp);
  const AudioStreamBasicDescription in = FloatFormat(2, false, 48000);
  ASSERT_EQ(SetFormat(kAudioUnitScope_Input, in), noErr);
  ASSERT_EQ(SetFormat(kAudioUnitScope_Output, FloatFormat(2, true, 48000)), noErr);
  std::vector<Float32> interleaved(2 * 64, -1.0f);
  AudioBufferList list{1, {{2, static_cast<UInt32>(interleaved.size() * 4), interleaved.data()}}};
  AudioTimeStamp stamp{};
  stamp.mSampleTime = 512;
  AudioUnitRenderActionFlags flags = 0;
  EXPECT_EQ(AudioUnitRender(unit_, &flags, &stamp, 0, 64, &list), kAudioUnitErr_Uninitialized);
  EXPECT_EQ(AudioOutputUnitStart(unit_), kAudioUnitErr_Uninitialized);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  EXPECT_EQ(SetFormat(kAudioUnitScope_Input, in), kAudioUnitErr_Initialized);
  ASSERT_EQ(AudioUnitRender(unit_, &flags, &stamp, 0, 64, &list), noErr);
  EXPECT_EQ(ramp.calls, 1);
  EXPECT_EQ(ramp.lastFrames, 64u);
  EXPECT_EQ(ramp.lastSampleTime, 512);
  for (UInt32 f = 0; f < 64; ++f) {
    EXPECT_EQ(interleaved[2 * f], static_cast<Float32>(f));
    EXPECT_EQ(interleaved[2 * f + 1], static_cast<Float32>(1000 + f));
  }
  // Too many frames, a bus the unit lacks, and a callback's failure, which is also kept as the
  // last render error until read.
  EXPECT_EQ(AudioUnitRender(unit_, &flags, &stamp, 0, 1157, &list),
            kAudioUnitErr_TooManyFramesToProcess);
  EXPECT_EQ(AudioUnitRender(unit_, &flags, &stamp, 1, 64, &list), kAudioUnitErr_InvalidElement);
  ramp.status = -1234;
  EXPECT_EQ(AudioUnitRender(unit_, &flags, &stamp, 0, 64, &list), -1234);
  for (SInt32 expected : {-1234, 0}) {
    SInt32 lastError = 99;
    ASSERT_EQ(
        unitGet(unit_, kAudioUnitProperty_LastRenderError, kAudioUnitScope_Global, &lastError),
        noErr);
    EXPECT_EQ(lastError, expected);
  }
  // A caller's buffer without data gets the unit's own.
  ramp.status = noErr;
  AudioBufferList bare{1, {{2, 0, nullptr}}};
  ASSERT_EQ(AudioUnitRender(unit_, nullptr, &stamp, 0, 100, &bare), noErr);
  ASSERT_NE(bare.mBuffers[0].mData, nullptr);
  EXPECT_EQ(bare.mBuffers[0].mDataByteSize, 800u);
  EXPECT_EQ(static_cast<Float32 *>(bare.mBuffers[0].mData)[199], 1099.0f);
  // Started and stopped without a device, it reports whether it runs.
  for (UInt32 expected : {1u, 0u}) {
    ASSERT_EQ(expected ? AudioOutputUnitStart(unit_) : AudioOutputUnitStop(unit_), noErr);
    UInt32 running = 7;
    ASSERT_EQ(unitGet(unit_, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, &running),
              noErr);
    EXPECT_EQ(running, expected);
  }
  EXPECT_EQ(AudioUnitUninitialize(unit_), noErr);
  EXPECT_EQ(AudioUnitRender(unit_, &flags, &stamp, 0, 64, &list), kAudioUnitErr_Uninitialized);
}

TEST_F(GenericOutputUnit, PullsFromAConnectedUnitAndTellsItsNotifiers) {
  AudioUnit source = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  ASSERT_NE(source, nullptr);
  Ramp ramp;
  UseRamp(source, ramp);
  ASSERT_EQ(AudioUnitInitialize(source), noErr);
  Float32 left[32], right[32];
  TwoBuffers buffers;
  AudioBufferList *list = buffers.list(left, right, 32);
  AudioTimeStamp stamp{};
  // Without a source the unit has nothing to pull.
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  EXPECT_EQ(AudioUnitRender(unit_, nullptr, &stamp, 0, 32, list), kAudioUnitErr_NoConnection);
  ASSERT_EQ(AudioUnitUninitialize(unit_), noErr);
  AudioUnitConnection connection{source, 0, 0};
  ASSERT_EQ(unitSet(unit_, kAudioUnitProperty_MakeConnection, kAudioUnitScope_Input, connection),
            noErr);
  struct Notes {
    std::vector<AudioUnitRenderActionFlags> flags;
    Float32 firstRightAfter = -1;
  } notes;
  auto notify = [](void *refCon, AudioUnitRenderActionFlags *flags, const AudioTimeStamp *, UInt32,
                   UInt32, AudioBufferList *ioData) -> OSStatus {
    auto *n = static_cast<Notes *>(refCon);
    n->flags.push_back(*flags);
    if (*flags & kAudioUnitRenderAction_PostRender)
      n->firstRightAfter = static_cast<Float32 *>(ioData->mBuffers[1].mData)[0];
    return noErr;
  };
  ASSERT_EQ(AudioUnitAddRenderNotify(unit_, notify, &notes), noErr);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  ASSERT_EQ(AudioUnitRender(unit_, nullptr, &stamp, 0, 32, list), noErr);
  EXPECT_EQ(ramp.calls, 1);
  EXPECT_EQ(left[31], 31.0f);
  EXPECT_EQ(right[0], 1000.0f);
  ASSERT_EQ(notes.flags.size(), 2u);
  EXPECT_TRUE(notes.flags[0] & kAudioUnitRenderAction_PreRender);
  EXPECT_TRUE(notes.flags[1] & kAudioUnitRenderAction_PostRender);
  EXPECT_EQ(notes.firstRightAfter, 1000.0f);
  EXPECT_EQ(AudioUnitRemoveRenderNotify(unit_, notify, &notes), noErr);
  EXPECT_EQ(AudioUnitRemoveRenderNotify(unit_, notify, &notes), paramErr);
  ASSERT_EQ(AudioUnitRender(unit_, nullptr, &stamp, 0, 32, list), noErr);
  EXPECT_EQ(notes.flags.size(), 2u);
  // Once the source is closed, pulling from it reports the stale instance.
  EXPECT_EQ(CloseComponent(source), noErr);
  EXPECT_EQ(AudioUnitRender(unit_, nullptr, &stamp, 0, 32, list), badComponentInstance);
}

}  // namespace
