// Audio units and components through CoreAudioXNQ: opening by type, unit properties and
// parameters by handle, and the status each call leaves.
#include "os/audio_unit.h"

#include <cstring>
#include <vector>

#include "coreaudio_host.h"

namespace coreaudio_test {
namespace {

class CoreAudioAudioUnitTest : public CoreAudioTest {
 protected:
  Value Open(const Value &ca, const char *type, const char *subtype) {
    return Call(ca, "OpenDefaultComponent", {Str(type), Str(subtype)});
  }
};

TEST_F(CoreAudioAudioUnitTest, OpenDefaultOutputUnitAndDriveIt) {
  {
    Value ca = NewCoreAudio();
    Value unit = Open(ca, "auou", "def ");
    ASSERT_NE(unit.asInteger(), 0);
    EXPECT_EQ(LastError(ca), 0);

    std::vector<Value> info = {unit,
                               Value::integer(kAudioUnitProperty_MaximumFramesPerSlice),
                               Value::integer(kAudioUnitScope_Global),
                               Value::integer(0),
                               Value::integer(0),
                               Value::boolean(false)};
    ASSERT_FALSE(rt().call(ca, "AudioUnitGetPropertyInfo", info).raised());
    EXPECT_EQ(info[4].asInteger(), 4);
    EXPECT_TRUE(info[5].asBool());
    EXPECT_EQ(LastError(ca), 0);

    const uint32_t wanted = 2048;
    Value block = Block(&wanted, 4);
    Call(ca, "AudioUnitSetPropertyMemory",
         {unit, Value::integer(kAudioUnitProperty_MaximumFramesPerSlice),
          Value::integer(kAudioUnitScope_Global), Value::integer(0), block, Value::integer(0),
          Value::integer(4)});
    EXPECT_EQ(LastError(ca), 0);
    Value read = Call(ca, "AudioUnitGetPropertyMemory",
                      {unit, Value::integer(kAudioUnitProperty_MaximumFramesPerSlice),
                       Value::integer(kAudioUnitScope_Global), Value::integer(0)});
    ASSERT_EQ(read.size(), 4);
    uint32_t value = 0;
    std::memcpy(&value, read.data(), 4);
    EXPECT_EQ(value, wanted);

    // A 4-byte value is no string reference, even where references are 4 bytes.
    Value cf = Call(ca, "AudioUnitGetPropertyCFString",
                    {unit, Value::integer(kAudioUnitProperty_MaximumFramesPerSlice),
                     Value::integer(kAudioUnitScope_Global), Value::integer(0)});
    EXPECT_EQ(cf.bytes(), "");
    EXPECT_EQ(LastError(ca), 0);

    // A nil string passes no bytes; the unit refuses the size.
    Call(ca, "AudioUnitSetPropertyString",
         {unit, Value::integer(kAudioUnitProperty_MaximumFramesPerSlice),
          Value::integer(kAudioUnitScope_Global), Value::integer(0), Value()});
    EXPECT_NE(LastError(ca), 0);
    EXPECT_NE(LastError(ca), -1);

    Value status = Call(ca, "AudioUnitInitialize", {unit});
    EXPECT_EQ(status.asInteger(), 0);
    EXPECT_EQ(LastError(ca), 0);
    status = Call(ca, "AudioUnitReset", {unit, Value::integer(0), Value::integer(0)});
    EXPECT_EQ(status.asInteger(), LastError(ca));
    status = Call(ca, "AudioUnitUninitialize", {unit});
    EXPECT_EQ(status.asInteger(), 0);
    Call(ca, "CloseComponent", {unit});
    EXPECT_EQ(LastError(ca), 0);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioAudioUnitTest, UnknownSubtypeOpensNothingAndKeepsTheMarker) {
  Value ca = NewCoreAudio();
  Value unit = Open(ca, "auou", "zzzz");
  EXPECT_EQ(unit.asInteger(), 0);
  EXPECT_EQ(LastError(ca), -1);
  // A short code is padded with blanks: "def" names the default output unit "def ".
  unit = Open(ca, "auou", "def");
  EXPECT_NE(unit.asInteger(), 0);
  EXPECT_EQ(LastError(ca), 0);
  Call(ca, "CloseComponent", {unit});
  EXPECT_EQ(LastError(ca), 0);
}

TEST_F(CoreAudioAudioUnitTest, ParametersRoundTripAndInvalidUnitsReportTheError) {
  Value ca = NewCoreAudio();
  Value unit = Open(ca, "auou", "def ");
  ASSERT_NE(unit.asInteger(), 0);
  // The unit's first global parameter and its range, read through the class itself.
  Value list = Call(ca, "AudioUnitGetPropertyMemory",
                    {unit, Value::integer(kAudioUnitProperty_ParameterList),
                     Value::integer(kAudioUnitScope_Global), Value::integer(0)});
  ASSERT_GE(list.size(), 4);
  uint32_t parameter = 0;
  std::memcpy(&parameter, list.data(), 4);
  Value info = Call(ca, "AudioUnitGetPropertyMemory",
                    {unit, Value::integer(kAudioUnitProperty_ParameterInfo),
                     Value::integer(kAudioUnitScope_Global), Value::integer(parameter)});
  ASSERT_EQ(info.size(), static_cast<int64_t>(sizeof(AudioUnitParameterInfo)));
  AudioUnitParameterInfo range;
  std::memcpy(&range, info.data(), sizeof range);
  const float wanted = range.minValue + (range.maxValue - range.minValue) / 4;

  Call(ca, "AudioUnitSetParameter",
       {unit, Value::integer(parameter), Value::integer(kAudioUnitScope_Global), Value::integer(0),
        Value::single(wanted), Value::integer(0)});
  EXPECT_EQ(LastError(ca), 0);
  Value value = Call(
      ca, "AudioUnitGetParameter",
      {unit, Value::integer(parameter), Value::integer(kAudioUnitScope_Global), Value::integer(0)});
  EXPECT_FLOAT_EQ(value.asSingle(), wanted);
  EXPECT_EQ(LastError(ca), 0);
  Call(ca, "CloseComponent", {unit});
  EXPECT_EQ(LastError(ca), 0);

  // A closed handle is no unit any more: the read gives 0.0 and the framework's error.
  value = Call(
      ca, "AudioUnitGetParameter",
      {unit, Value::integer(parameter), Value::integer(kAudioUnitScope_Global), Value::integer(0)});
  EXPECT_EQ(value.asSingle(), 0.0f);
  EXPECT_NE(LastError(ca), 0);
  EXPECT_NE(LastError(ca), -1);
  // Closing it again: the 16-bit error stays negative.
  Call(ca, "CloseComponent", {unit});
  EXPECT_LT(LastError(ca), 0);
  EXPECT_NE(LastError(ca), -1);
}

TEST_F(CoreAudioAudioUnitTest, EmptyUnitPropertyDistinguishesTheTwoStatusRules) {
  Value ca = NewCoreAudio();
  Value unit = Open(ca, "auou", "def ");
  ASSERT_NE(unit.asInteger(), 0);
  UInt32 size = 1;
  Boolean writable = false;
  AudioUnit au = reinterpret_cast<AudioUnit>(static_cast<intptr_t>(unit.asInteger()));
  const OSStatus infoStatus = AudioUnitGetPropertyInfo(au, kAudioUnitProperty_ParameterList,
                                                       kAudioUnitScope_Output, 0, &size, &writable);
  if (infoStatus != 0 || size != 0) {
    Call(ca, "CloseComponent", {unit});
    GTEST_SKIP() << "the output unit has output-scope parameters: status " << infoStatus
                 << ", size " << size;
  }
  const std::vector<Value> address = {unit, Value::integer(kAudioUnitProperty_ParameterList),
                                      Value::integer(kAudioUnitScope_Output), Value::integer(0)};
  Value block = Call(ca, "AudioUnitGetPropertyMemory", address);
  EXPECT_TRUE(block.isNil());
  EXPECT_EQ(LastError(ca), 0);
  Value text = Call(ca, "AudioUnitGetPropertyString", address);
  EXPECT_TRUE(text.isNil() || text.bytes().empty());
  EXPECT_EQ(LastError(ca), -1);
  Call(ca, "CloseComponent", {unit});
}

}  // namespace
}  // namespace coreaudio_test
