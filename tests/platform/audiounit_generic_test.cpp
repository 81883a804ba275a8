// Audio units as a program uses them, on the generic output, which renders only when asked:
// finding and opening the platform's units, property and parameter errors, the life cycle,
// pulling from a render callback or from another unit, and render notifications.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "os/audio_unit.h"

namespace {

AudioStreamBasicDescription floatFormat(UInt32 channels, bool interleaved, Float64 rate = 44100) {
  UInt32 frameBytes = interleaved ? 4 * channels : 4;
  UInt32 flags =
      kAudioFormatFlagsNativeFloatPacked | (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
  return AudioStreamBasicDescription{
      rate, kAudioFormatLinearPCM, flags, frameBytes, 1, frameBytes, channels, 32, 0};
}

// Writes channel c, frame f as c * 1000 + f + start, so a test can tell every sample apart.
struct Ramp {
  int calls = 0;
  UInt32 lastFrames = 0;
  Float64 lastSampleTime = -1;
  OSStatus status = noErr;
};

OSStatus rampCallback(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *timeStamp,
                      UInt32 bus, UInt32 frames, AudioBufferList *ioData) {
  auto *ramp = static_cast<Ramp *>(refCon);
  ramp->calls++;
  ramp->lastFrames = frames;
  ramp->lastSampleTime = timeStamp->mSampleTime;
  EXPECT_EQ(bus, 0u);
  for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b) {
    auto *samples = static_cast<Float32 *>(ioData->mBuffers[b].mData);
    EXPECT_EQ(ioData->mBuffers[b].mNumberChannels, 1u);
    EXPECT_EQ(ioData->mBuffers[b].mDataByteSize, frames * 4);
    for (UInt32 f = 0; f < frames; ++f) samples[f] = static_cast<Float32>(b * 1000 + f);
  }
  return ramp->status;
}

class GenericOutputUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    unit_ = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
    ASSERT_NE(unit_, nullptr);
  }
  void TearDown() override {
    if (unit_ != nullptr) {
      EXPECT_EQ(CloseComponent(unit_), noErr);
    }
  }
  void useRamp(Ramp &ramp) {
    AURenderCallbackStruct callback{rampCallback, &ramp};
    ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_SetRenderCallback,
                                   kAudioUnitScope_Input, 0, &callback, sizeof callback),
              noErr);
  }
  AudioUnit unit_ = nullptr;
};

TEST(PlatformUnits, AreRegisteredAsPlatformComponents) {
  for (OSType subType : {kAudioUnitSubType_GenericOutput, kAudioUnitSubType_HALOutput,
                         kAudioUnitSubType_DefaultOutput, kAudioUnitSubType_SystemOutput}) {
    ComponentDescription looking{kAudioUnitType_Output, subType, kAudioUnitManufacturer_Platform, 0,
                                 0};
    Component c = FindNextComponent(nullptr, &looking);
    ASSERT_NE(c, nullptr) << subType;
    ComponentDescription found{};
    Handle name = NewHandle(0);
    EXPECT_EQ(GetComponentInfo(c, &found, name, nullptr, nullptr), noErr);
    EXPECT_EQ(found.componentManufacturer, kAudioUnitManufacturer_Platform);
    EXPECT_GT(GetHandleSize(name), 1);
    DisposeHandle(name);
  }
  ComponentDescription none{kAudioUnitType_Output, XNQ_FOURCC('n', 'o', 'n', 'e'), 0, 0, 0};
  EXPECT_EQ(FindNextComponent(nullptr, &none), nullptr);
}

TEST_F(GenericOutputUnit, RefusesBadAddressesPropertiesAndValues) {
  UInt32 size = 0;
  Boolean writable = false;
  UInt32 frames = 0;
  EXPECT_EQ(AudioUnitGetPropertyInfo(unit_, 9999, kAudioUnitScope_Global, 0, &size, &writable),
            kAudioUnitErr_InvalidProperty);
  EXPECT_EQ(
      AudioUnitGetPropertyInfo(unit_, kAudioUnitProperty_StreamFormat, 7, 0, &size, &writable),
      kAudioUnitErr_InvalidScope);
  EXPECT_EQ(AudioUnitGetPropertyInfo(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input,
                                     5, &size, &writable),
            kAudioUnitErr_InvalidElement);
  EXPECT_EQ(AudioUnitGetPropertyInfo(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Global,
                                     0, &size, &writable),
            kAudioUnitErr_InvalidScope);
  ASSERT_EQ(AudioUnitGetPropertyInfo(unit_, kAudioUnitProperty_MaximumFramesPerSlice,
                                     kAudioUnitScope_Global, 0, &size, &writable),
            noErr);
  EXPECT_EQ(size, 4u);
  EXPECT_TRUE(writable);
  size = sizeof frames;
  ASSERT_EQ(AudioUnitGetProperty(unit_, kAudioUnitProperty_MaximumFramesPerSlice,
                                 kAudioUnitScope_Global, 0, &frames, &size),
            noErr);
  EXPECT_EQ(frames, 1156u);

  // Read-only properties, wrong sizes and values out of range.
  Float64 latency = 1;
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0,
                                 &latency, sizeof latency),
            kAudioUnitErr_PropertyNotWritable);
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_MaximumFramesPerSlice,
                                 kAudioUnitScope_Global, 0, &latency, sizeof latency),
            kAudioUnitErr_InvalidPropertyValue);
  UInt32 quality = 128;
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_RenderQuality, kAudioUnitScope_Global, 0,
                                 &quality, sizeof quality),
            kAudioUnitErr_InvalidPropertyValue);
  UInt16 tooSmall = 0;
  size = sizeof tooSmall;
  EXPECT_EQ(AudioUnitGetProperty(unit_, kAudioUnitProperty_MaximumFramesPerSlice,
                                 kAudioUnitScope_Global, 0, &tooSmall, &size),
            kAudioUnitErr_InvalidPropertyValue);

  // Formats the unit cannot carry.
  AudioStreamBasicDescription integer = floatFormat(2, true);
  integer.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  integer.mBitsPerChannel = 16;
  integer.mBytesPerFrame = integer.mBytesPerPacket = 4;
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                 &integer, sizeof integer),
            kAudioUnitErr_FormatNotSupported);
  AudioStreamBasicDescription badBytes = floatFormat(2, true);
  badBytes.mBytesPerFrame = 4;
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                 &badBytes, sizeof badBytes),
            kAudioUnitErr_FormatNotSupported);

  // The generic output has no parameters.
  Float32 value = 5;
  EXPECT_EQ(AudioUnitGetParameter(unit_, 0, kAudioUnitScope_Global, 0, &value),
            kAudioUnitErr_InvalidParameter);
  EXPECT_EQ(AudioUnitSetParameter(unit_, 0, kAudioUnitScope_Global, 3, 1.0f, 0),
            kAudioUnitErr_InvalidElement);
  EXPECT_EQ(AudioUnitSetParameter(unit_, 0, 9, 0, 1.0f, 0), kAudioUnitErr_InvalidScope);
  ASSERT_EQ(AudioUnitGetPropertyInfo(unit_, kAudioUnitProperty_ParameterList,
                                     kAudioUnitScope_Global, 0, &size, nullptr),
            noErr);
  EXPECT_EQ(size, 0u);
}

TEST_F(GenericOutputUnit, RendersWhatItsCallbackSuppliesInTheOutputLayout) {
  Ramp ramp;
  useRamp(ramp);
  AudioStreamBasicDescription in = floatFormat(2, false, 48000);
  AudioStreamBasicDescription out = floatFormat(2, true, 48000);
  ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                 &in, sizeof in),
            noErr);
  ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0,
                                 &out, sizeof out),
            noErr);

  std::vector<Float32> interleaved(2 * 64, -1.0f);
  AudioBufferList list{1, {{2, static_cast<UInt32>(interleaved.size() * 4), interleaved.data()}}};
  AudioTimeStamp stamp{};
  stamp.mSampleTime = 512;
  stamp.mFlags = kAudioTimeStampSampleTimeValid;
  AudioUnitRenderActionFlags flags = 0;
  EXPECT_EQ(AudioUnitRender(unit_, &flags, &stamp, 0, 64, &list), kAudioUnitErr_Uninitialized);
  EXPECT_EQ(ramp.calls, 0);

  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  // Formats are fixed while initialized.
  EXPECT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                 &in, sizeof in),
            kAudioUnitErr_Initialized);
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
  SInt32 lastError = 0;
  UInt32 size = sizeof lastError;
  ASSERT_EQ(AudioUnitGetProperty(unit_, kAudioUnitProperty_LastRenderError, kAudioUnitScope_Global,
                                 0, &lastError, &size),
            noErr);
  EXPECT_EQ(lastError, -1234);
  ASSERT_EQ(AudioUnitGetProperty(unit_, kAudioUnitProperty_LastRenderError, kAudioUnitScope_Global,
                                 0, &lastError, &size),
            noErr);
  EXPECT_EQ(lastError, 0);

  EXPECT_EQ(AudioUnitUninitialize(unit_), noErr);
  EXPECT_EQ(AudioUnitRender(unit_, &flags, &stamp, 0, 64, &list), kAudioUnitErr_Uninitialized);
}

TEST_F(GenericOutputUnit, SuppliesBuffersWhenTheCallerPassesNone) {
  Ramp ramp;
  useRamp(ramp);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  // Two non-interleaved channels, the units' own format, without data pointers.
  unsigned char bytes[sizeof(AudioBufferList) + sizeof(AudioBuffer)] = {};
  auto *list = reinterpret_cast<AudioBufferList *>(bytes);
  list->mNumberBuffers = 2;
  list->mBuffers[0] = {1, 0, nullptr};
  list->mBuffers[1] = {1, 0, nullptr};
  AudioTimeStamp stamp{};
  ASSERT_EQ(AudioUnitRender(unit_, nullptr, &stamp, 0, 100, list), noErr);
  ASSERT_NE(list->mBuffers[1].mData, nullptr);
  EXPECT_EQ(list->mBuffers[1].mDataByteSize, 400u);
  EXPECT_EQ(static_cast<Float32 *>(list->mBuffers[1].mData)[99], 1099.0f);
}

TEST_F(GenericOutputUnit, PullsFromAConnectedUnitAndTellsItsNotifiers) {
  AudioUnit source = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  ASSERT_NE(source, nullptr);
  Ramp ramp;
  AURenderCallbackStruct callback{rampCallback, &ramp};
  ASSERT_EQ(AudioUnitSetProperty(source, kAudioUnitProperty_SetRenderCallback,
                                 kAudioUnitScope_Input, 0, &callback, sizeof callback),
            noErr);
  ASSERT_EQ(AudioUnitInitialize(source), noErr);

  AudioStreamBasicDescription in = floatFormat(2, false);
  AudioStreamBasicDescription out = floatFormat(2, false);
  // Without a source the unit has nothing to pull.
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  Float32 left[32], right[32];
  unsigned char bytes[sizeof(AudioBufferList) + sizeof(AudioBuffer)] = {};
  auto *list = reinterpret_cast<AudioBufferList *>(bytes);
  list->mNumberBuffers = 2;
  list->mBuffers[0] = {1, sizeof left, left};
  list->mBuffers[1] = {1, sizeof right, right};
  AudioTimeStamp stamp{};
  EXPECT_EQ(AudioUnitRender(unit_, nullptr, &stamp, 0, 32, list), kAudioUnitErr_NoConnection);
  ASSERT_EQ(AudioUnitUninitialize(unit_), noErr);
  ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                 &in, sizeof in),
            noErr);
  ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0,
                                 &out, sizeof out),
            noErr);

  AudioUnitConnection connection{source, 0, 0};
  ASSERT_EQ(AudioUnitSetProperty(unit_, kAudioUnitProperty_MakeConnection, kAudioUnitScope_Input, 0,
                                 &connection, sizeof connection),
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

TEST_F(GenericOutputUnit, StartsAndStopsWithoutADevice) {
  UInt32 running = 7, size = sizeof running;
  EXPECT_EQ(AudioOutputUnitStart(unit_), kAudioUnitErr_Uninitialized);
  ASSERT_EQ(AudioUnitInitialize(unit_), noErr);
  EXPECT_EQ(AudioOutputUnitStart(unit_), noErr);
  ASSERT_EQ(AudioUnitGetProperty(unit_, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global,
                                 0, &running, &size),
            noErr);
  EXPECT_EQ(running, 1u);
  EXPECT_EQ(AudioOutputUnitStop(unit_), noErr);
  ASSERT_EQ(AudioUnitGetProperty(unit_, kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global,
                                 0, &running, &size),
            noErr);
  EXPECT_EQ(running, 0u);
}

TEST(AudioUnitCalls, OnStaleOrForeignInstancesReportABadInstance) {
  AudioUnit unit = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  ASSERT_NE(unit, nullptr);
  ASSERT_EQ(CloseComponent(unit), noErr);
  Float32 value = 3;
  EXPECT_EQ(AudioUnitGetParameter(unit, 0, 0, 0, &value), badComponentInstance);
  EXPECT_EQ(AudioUnitInitialize(unit), badComponentInstance);
  EXPECT_EQ(AudioOutputUnitStart(reinterpret_cast<AudioUnit>(uintptr_t{42})), badComponentInstance);
  UInt32 size = 0;
  EXPECT_EQ(AudioUnitGetPropertyInfo(nullptr, 0, 0, 0, &size, nullptr), badComponentInstance);
  // A platform unit answers the standard selectors and nothing else through dispatch.
  AudioUnit open = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  EXPECT_EQ(GetComponentVersion(open), 0x00010000);
  EXPECT_EQ(CallComponentCanDo(open, kComponentCloseSelect), 1);
  EXPECT_EQ(CallComponentCanDo(open, 1), 0);
  CloseComponent(open);
}

}  // namespace
