// Audio object properties through CoreAudioXNQ: size, read with and without InputData, write,
// and the reference each returned block carries.
#include <cstring>
#include <vector>

#include "coreaudio_host.h"

namespace coreaudio_test {
namespace {

class CoreAudioObjectPropertiesTest : public CoreAudioTest {
 protected:
  std::vector<Value> Address(uint32_t object, uint32_t selector,
                             uint32_t scope = kAudioObjectPropertyScopeGlobal,
                             uint32_t element = 0) {
    return {Value::integer(object), Value::uint32(selector), Value::uint32(scope),
            Value::uint32(element)};
  }
  template <typename... Extra>
  std::vector<Value> With(std::vector<Value> args, Extra... extra) {
    (args.push_back(extra), ...);
    return args;
  }
};

TEST_F(CoreAudioObjectPropertiesTest, SizeAndReadOfTheDeviceList) {
  {
    Value ca = NewCoreAudio();
    Value size = Call(ca, "AudioObjectGetPropertyDataSize",
                      Address(kAudioObjectSystemObject, kAudioHardwarePropertyDevices));
    EXPECT_EQ(size.asInteger(), 8);
    EXPECT_EQ(LastError(ca), 0);

    Value list = Call(ca, "AudioObjectGetPropertyData",
                      Address(kAudioObjectSystemObject, kAudioHardwarePropertyDevices));
    ASSERT_EQ(list.size(), 8);
    uint32_t ids[2] = {};
    std::memcpy(ids, list.data(), 8);
    EXPECT_EQ(ids[0], devices.output);
    EXPECT_EQ(ids[1], devices.input);
    EXPECT_EQ(LastError(ca), 0);

    // A qualifier is locked for the call and given back.
    Value qualifier = rt().newMemoryBlock(4);
    Call(ca, "AudioObjectGetPropertyDataSize",
         With(Address(kAudioObjectSystemObject, kAudioHardwarePropertyDevices), qualifier));
    EXPECT_EQ(rt().referenceCount(qualifier), 1);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioObjectPropertiesTest, FailuresReturnNilWithTheFrameworkStatus) {
  UInt32 size = 0;
  const AudioObjectPropertyAddress unknown = {XNQ_FOURCC('z', 'z', 'z', 'z'),
                                              kAudioObjectPropertyScopeGlobal, 0};
  const OSStatus expected =
      AudioObjectGetPropertyDataSize(devices.output, &unknown, 0, nullptr, &size);
  ASSERT_NE(expected, 0);
  {
    Value ca = NewCoreAudio();
    Value result =
        Call(ca, "AudioObjectGetPropertyData", Address(devices.output, unknown.mSelector));
    EXPECT_TRUE(result.isNil());
    EXPECT_EQ(LastError(ca), expected);
    Value none =
        Call(ca, "AudioObjectGetPropertyDataSize", Address(devices.output, unknown.mSelector));
    EXPECT_EQ(none.asInteger(), 0);
    EXPECT_EQ(LastError(ca), expected);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioObjectPropertiesTest, EmptyPropertyReadsAsNilWithSuccess) {
  xnq_hal_reset();  // no devices: the device list is empty
  {
    Value ca = NewCoreAudio();
    Value list = Call(ca, "AudioObjectGetPropertyData",
                      Address(kAudioObjectSystemObject, kAudioHardwarePropertyDevices));
    EXPECT_TRUE(list.isNil());
    EXPECT_EQ(LastError(ca), 0);
    // The hardware members leave -1 for an empty property.
    Value text = Call(ca, "AudioHardwareGetPropertyString", {Str("dev#")});
    EXPECT_TRUE(text.isNil() || text.bytes().empty());
    EXPECT_EQ(LastError(ca), -1);
    Value block = Call(ca, "AudioHardwareGetPropertyMemory", {Str("dev#")});
    EXPECT_TRUE(block.isNil());
    EXPECT_EQ(LastError(ca), -1);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioObjectPropertiesTest, InputDataIsFilledAndReturnedItself) {
  {
    Value ca = NewCoreAudio();
    Value io = rt().newMemoryBlock(16);
    std::memset(io.data(), 0xAB, 16);
    CallResult result = rt().call(
        ca, "AudioObjectGetPropertyData",
        {Value::integer(devices.output), Value::uint32(kAudioDevicePropertyNominalSampleRate),
         Value::uint32(kAudioObjectPropertyScopeGlobal), Value::uint32(0), Value(), io});
    ASSERT_FALSE(result.raised());
    EXPECT_EQ(result.value.handle(), io.handle());
    EXPECT_EQ(rt().referenceCount(io), 2);  // ours and the result's
    EXPECT_EQ(io.size(), 16);               // the block keeps its size
    double rate = 0;
    std::memcpy(&rate, io.data(), 8);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(LastError(ca), 0);
    result = CallResult{};
    EXPECT_EQ(rt().referenceCount(io), 1);

    // A failing read returns nil and takes no reference.
    CallResult failed =
        rt().call(ca, "AudioObjectGetPropertyData",
                  {Value::integer(devices.output), Value::uint32(XNQ_FOURCC('z', 'z', 'z', 'z')),
                   Value::uint32(kAudioObjectPropertyScopeGlobal), Value::uint32(0), Value(), io});
    EXPECT_TRUE(failed.value.isNil());
    EXPECT_NE(LastError(ca), 0);
    EXPECT_EQ(rt().referenceCount(io), 1);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioObjectPropertiesTest, TranslationReadsItsInputFromTheBlock) {
  const AudioObjectPropertyAddress range = {kAudioDevicePropertyVolumeRangeDecibels,
                                            kAudioObjectPropertyScopeOutput, 0};
  AudioValueRange decibels = {};
  UInt32 size = sizeof decibels;
  if (AudioObjectGetPropertyData(devices.output, &range, 0, nullptr, &size, &decibels) != 0) {
    GTEST_SKIP() << "the test device has no volume control";
  }
  Value ca = NewCoreAudio();
  const Float32 full = 1.0f;
  Value io = Block(&full, sizeof full);
  Value result = Call(
      ca, "AudioObjectGetPropertyData",
      {Value::integer(devices.output), Value::uint32(kAudioDevicePropertyVolumeScalarToDecibels),
       Value::uint32(kAudioObjectPropertyScopeOutput), Value::uint32(0), Value(), io});
  ASSERT_FALSE(result.isNil());
  Float32 db = 0;
  std::memcpy(&db, io.data(), 4);
  EXPECT_FLOAT_EQ(db, static_cast<Float32>(decibels.mMaximum));
}

TEST_F(CoreAudioObjectPropertiesTest, WriteSendsTheWholeBlock) {
  AudioValueRange ranges[16] = {};
  UInt32 size = sizeof ranges;
  ASSERT_EQ(AudioDeviceGetProperty(devices.output, 0, false,
                                   kAudioDevicePropertyAvailableNominalSampleRates, &size, ranges),
            0);
  double rate = ranges[0].mMinimum != 48000.0 ? ranges[0].mMinimum : ranges[0].mMaximum;
  if (rate == 48000.0 && size >= 2 * sizeof(AudioValueRange)) rate = ranges[1].mMinimum;
  ASSERT_NE(rate, 48000.0);
  {
    Value ca = NewCoreAudio();
    Value data = Block(&rate, 8);
    Call(ca, "AudioObjectSetPropertyData",
         {Value::integer(devices.output), Value::uint32(kAudioDevicePropertyNominalSampleRate),
          Value::uint32(kAudioObjectPropertyScopeGlobal), Value::uint32(0), data});
    EXPECT_EQ(LastError(ca), 0);
    Float64 now = 0;
    size = sizeof now;
    ASSERT_EQ(AudioDeviceGetProperty(devices.output, 0, false,
                                     kAudioDevicePropertyNominalSampleRate, &size, &now),
              0);
    EXPECT_EQ(now, rate);

    // A block of the wrong size is refused by the framework, not by us.
    Value wrong = rt().newMemoryBlock(3);
    Call(ca, "AudioObjectSetPropertyData",
         {Value::integer(devices.output), Value::uint32(kAudioDevicePropertyNominalSampleRate),
          Value::uint32(kAudioObjectPropertyScopeGlobal), Value::uint32(0), wrong});
    EXPECT_NE(LastError(ca), 0);
    EXPECT_NE(LastError(ca), -1);
    EXPECT_EQ(rt().referenceCount(data), 1);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

}  // namespace
}  // namespace coreaudio_test
