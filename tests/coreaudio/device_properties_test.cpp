// Device properties through CoreAudioXNQ: reads as string, memory block and CFString, info with
// byref results, writes by string and memory block, and the status each leaves in Lasterror.
#include <cstring>
#include <string>

#include "coreaudio_host.h"

namespace coreaudio_test {
namespace {

class CoreAudioDevicePropertiesTest : public CoreAudioTest {
 protected:
  Value Device(AudioDeviceID id) { return Value::integer(id); }
  double NominalRate(AudioDeviceID id) {
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    EXPECT_EQ(
        AudioDeviceGetProperty(id, 0, false, kAudioDevicePropertyNominalSampleRate, &size, &rate),
        0);
    return rate;
  }
  // A nominal rate the device offers other than its current one.
  double OtherAvailableRate(AudioDeviceID id) {
    AudioValueRange ranges[16] = {};
    UInt32 size = sizeof ranges;
    EXPECT_EQ(AudioDeviceGetProperty(id, 0, false, kAudioDevicePropertyAvailableNominalSampleRates,
                                     &size, ranges),
              0);
    const double current = NominalRate(id);
    for (UInt32 i = 0; i < size / sizeof(AudioValueRange); ++i) {
      if (ranges[i].mMinimum != current) return ranges[i].mMinimum;
      if (ranges[i].mMaximum != current) return ranges[i].mMaximum;
    }
    ADD_FAILURE() << "the device offers a single rate";
    return current;
  }
};

TEST_F(CoreAudioDevicePropertiesTest, ReadsNameUidRateAndFrameSize) {
  {
    Value ca = NewCoreAudio();
    Value name =
        Call(ca, "AudioDeviceGetPropertyString",
             {Device(devices.output), Value::integer(0), Value::boolean(false), Str("name")});
    EXPECT_EQ(WithoutTerminator(name.bytes()), "Test Output");
    EXPECT_EQ(LastError(ca), 0);

    Value cfName =
        Call(ca, "AudioDeviceGetPropertyCFString",
             {Device(devices.output), Value::integer(0), Value::boolean(false), Str("lnam")});
    EXPECT_EQ(cfName.utf8(), "Test Output");
    EXPECT_EQ(LastError(ca), 0);

    // The code keeps its trailing blank.
    Value uid = Call(ca, "AudioDeviceGetPropertyCFString",
                     {Device(devices.input), Value::integer(0), Value::boolean(true), Str("uid ")});
    EXPECT_EQ(uid.utf8(), "test-input-uid");

    Value rate =
        Call(ca, "AudioDeviceGetPropertyMemory",
             {Device(devices.output), Value::integer(0), Value::boolean(false), Str("nsrt")});
    ASSERT_EQ(rate.size(), 8);
    double value = 0;
    std::memcpy(&value, rate.data(), 8);
    EXPECT_EQ(value, 48000.0);
    EXPECT_EQ(LastError(ca), 0);

    Value frames =
        Call(ca, "AudioDeviceGetPropertyMemory",
             {Device(devices.output), Value::integer(0), Value::boolean(false), Str("fsiz")});
    ASSERT_EQ(frames.size(), 4);
    uint32_t frameSize = 0;
    std::memcpy(&frameSize, frames.data(), 4);
    EXPECT_EQ(frameSize, 256u);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioDevicePropertiesTest, CFStringReadOfOtherPropertiesGivesEmptyWithZero) {
  Value ca = NewCoreAudio();
  // A rate (8 bytes) and a frame size (4 bytes): whichever matches a reference's size on this
  // build is still not taken for a string.
  for (const char *code : {"nsrt", "fsiz"}) {
    Value text =
        Call(ca, "AudioDeviceGetPropertyCFString",
             {Device(devices.output), Value::integer(0), Value::boolean(false), Str(code)});
    EXPECT_EQ(text.bytes(), "") << code;
    EXPECT_EQ(LastError(ca), 0) << code;
  }
}

TEST_F(CoreAudioDevicePropertiesTest, UnknownDeviceAndPropertyLeaveTheFrameworkStatus) {
  const AudioDeviceID unknown = 0x7777;
  UInt32 size = 0;
  Boolean writable = false;
  const OSStatus unknownDevice = AudioDeviceGetPropertyInfo(
      unknown, 0, false, kAudioDevicePropertyDeviceName, &size, &writable);
  const OSStatus unknownProperty = AudioDeviceGetPropertyInfo(
      devices.output, 0, false, XNQ_FOURCC('z', 'z', 'z', 'z'), &size, &writable);
  ASSERT_NE(unknownDevice, 0);
  ASSERT_NE(unknownProperty, 0);
  {
    Value ca = NewCoreAudio();
    Value text = Call(ca, "AudioDeviceGetPropertyString",
                      {Device(unknown), Value::integer(0), Value::boolean(false), Str("name")});
    EXPECT_TRUE(text.isNil() || text.bytes().empty());
    EXPECT_EQ(LastError(ca), unknownDevice);

    Value block =
        Call(ca, "AudioDeviceGetPropertyMemory",
             {Device(devices.output), Value::integer(0), Value::boolean(false), Str("zzzz")});
    EXPECT_TRUE(block.isNil());
    EXPECT_EQ(LastError(ca), unknownProperty);

    // The device CFString member keeps its -1 when the info call fails.
    Value cf = Call(ca, "AudioDeviceGetPropertyCFString",
                    {Device(unknown), Value::integer(0), Value::boolean(false), Str("lnam")});
    EXPECT_EQ(cf.bytes(), "");
    EXPECT_EQ(LastError(ca), -1);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioDevicePropertiesTest, InfoWritesByrefResultsWhateverTheStatus) {
  Value ca = NewCoreAudio();
  UInt32 size = 0;
  Boolean writable = false;
  ASSERT_EQ(AudioDeviceGetPropertyInfo(devices.output, 0, false,
                                       kAudioDevicePropertyNominalSampleRate, &size, &writable),
            0);
  std::vector<Value> args = {Device(devices.output), Value::integer(0),
                             Value::boolean(false),  Str("nsrt"),
                             Value::integer(77),     Value::boolean(!writable)};
  CallResult result = rt().call(ca, "AudioDeviceGetPropertyInfo", args);
  ASSERT_FALSE(result.raised());
  EXPECT_EQ(args[4].asInteger(), 8);
  EXPECT_EQ(args[5].asBool(), writable != 0);
  EXPECT_EQ(LastError(ca), 0);

  // A failing call clears them.
  args = {Device(0x7777), Value::integer(0),  Value::boolean(false),
          Str("nsrt"),    Value::integer(77), Value::boolean(true)};
  result = rt().call(ca, "AudioDeviceGetPropertyInfo", args);
  ASSERT_FALSE(result.raised());
  EXPECT_EQ(args[4].asInteger(), 0);
  EXPECT_FALSE(args[5].asBool());
  EXPECT_NE(LastError(ca), 0);
  EXPECT_NE(LastError(ca), -1);
}

TEST_F(CoreAudioDevicePropertiesTest, MemoryWriteHonoursOffsetAndLength) {
  const double rate = OtherAvailableRate(devices.output);
  {
    Value ca = NewCoreAudio();
    unsigned char bytes[16] = {};
    std::memset(bytes, 0xEE, 8);
    std::memcpy(bytes + 8, &rate, 8);
    Value block = Block(bytes, sizeof bytes);
    Call(ca, "AudioDeviceSetPropertyMemory",
         {Device(devices.output), Value(), Value::integer(0), Value::boolean(false), Str("nsrt"),
          block, Value::integer(8), Value::integer(8)});
    EXPECT_EQ(LastError(ca), 0);
    EXPECT_EQ(NominalRate(devices.output), rate);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioDevicePropertiesTest, MemoryWriteRefusesRangesOutsideTheBlock) {
  Value ca = NewCoreAudio();
  const double rate = OtherAvailableRate(devices.output);
  Value block = Block(&rate, 8);
  struct Range {
    int64_t offset, length;
  };
  for (Range range : {Range{4, 8}, Range{-1, 8}, Range{0, 9}, Range{9, 0}, Range{0, -1}}) {
    CallRaising(ca, "AudioDeviceSetPropertyMemory",
                {Device(devices.output), Value(), Value::integer(0), Value::boolean(false),
                 Str("nsrt"), block, Value::integer(range.offset), Value::integer(range.length)},
                "OutOfBoundsException");
    EXPECT_EQ(LastError(ca), -1);
  }
  // A nil block with a non-zero offset names no bytes at all.
  CallRaising(ca, "AudioDeviceSetPropertyMemory",
              {Device(devices.output), Value(), Value::integer(0), Value::boolean(false),
               Str("nsrt"), Value(), Value::integer(4), Value::integer(0)},
              "OutOfBoundsException");
  EXPECT_EQ(NominalRate(devices.output), 48000.0);
  // A nil block at offset 0 passes no data: the framework judges the size.
  Call(ca, "AudioDeviceSetPropertyMemory",
       {Device(devices.output), Value(), Value::integer(0), Value::boolean(false), Str("nsrt"),
        Value(), Value::integer(0), Value::integer(0)});
  EXPECT_NE(LastError(ca), 0);
  EXPECT_NE(LastError(ca), -1);
}

TEST_F(CoreAudioDevicePropertiesTest, WhenBlockMustHoldAWholeTimeStamp) {
  Value ca = NewCoreAudio();
  const double rate = OtherAvailableRate(devices.output);
  Value value = Block(&rate, 8);
  Value shortWhen = rt().newMemoryBlock(sizeof(AudioTimeStamp) - 1);
  CallRaising(ca, "AudioDeviceSetPropertyMemory",
              {Device(devices.output), shortWhen, Value::integer(0), Value::boolean(false),
               Str("nsrt"), value, Value::integer(0), Value::integer(8)},
              "OutOfBoundsException");
  EXPECT_EQ(LastError(ca), -1);
  EXPECT_EQ(NominalRate(devices.output), 48000.0);

  Value when = rt().newMemoryBlock(sizeof(AudioTimeStamp));
  Call(ca, "AudioDeviceSetPropertyMemory",
       {Device(devices.output), when, Value::integer(0), Value::boolean(false), Str("nsrt"), value,
        Value::integer(0), Value::integer(8)});
  EXPECT_EQ(LastError(ca), 0);
  EXPECT_EQ(NominalRate(devices.output), rate);
}

TEST_F(CoreAudioDevicePropertiesTest, StringWritePassesTheStoredBytesAsTheyAre) {
  const double rate = OtherAvailableRate(devices.output);
  {
    Value ca = NewCoreAudio();
    // Eight raw bytes of a double, zero bytes included, in a string of unknown encoding.
    Value text = rt().newString(std::string_view(reinterpret_cast<const char *>(&rate), 8),
                                xnq::host::kUnknown);
    Call(ca, "AudioDeviceSetPropertyString",
         {Device(devices.output), Value(), Value::integer(0), Value::boolean(false), Str("nsrt"),
          text});
    EXPECT_EQ(LastError(ca), 0);
    EXPECT_EQ(NominalRate(devices.output), rate);

    // A nil string passes no bytes: the framework refuses the size.
    Call(ca, "AudioDeviceSetPropertyString",
         {Device(devices.output), Value(), Value::integer(0), Value::boolean(false), Str("nsrt"),
          Value()});
    EXPECT_NE(LastError(ca), 0);
    EXPECT_NE(LastError(ca), -1);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

}  // namespace
}  // namespace coreaudio_test

namespace coreaudio_test {
namespace {

// Hosts before 2017.0 have their memory blocks and strings read straight from the records.
TEST(CoreAudioDevicePropertiesOnOlderHostTest, BlocksAndStringsAreReadFromTheRecords) {
  xnq::host::Settings settings;
  settings.version = 2013.04;
  if (!LoadPlugin(settings)) GTEST_SKIP() << "the plugin is loaded with other settings";
  const TestDevices devices = ResetDevices();
  Runtime &rt = Runtime::get();
  const auto before = rt.outstanding();
  {
    Value ca = rt.newObject("CoreAudioXNQ").value;
    const double rate = 44100;
    unsigned char bytes[12] = {};
    std::memcpy(bytes + 4, &rate, 8);
    Value block = rt.newMemoryBlock(bytes, sizeof bytes);
    CallResult write =
        rt.call(ca, "AudioDeviceSetPropertyMemory",
                {Value::integer(devices.output), Value(), Value::integer(0), Value::boolean(false),
                 rt.newString("nsrt"), block, Value::integer(4), Value::integer(8)});
    ASSERT_FALSE(write.raised());
    EXPECT_EQ(rt.get(ca, "Lasterror").value.asInteger(), 0);

    CallResult read = rt.call(ca, "AudioDeviceGetPropertyMemory",
                              {Value::integer(devices.output), Value::integer(0),
                               Value::boolean(false), rt.newString("nsrt")});
    ASSERT_EQ(read.value.size(), 8);
    double now = 0;
    std::memcpy(&now, read.value.data(), 8);
    EXPECT_EQ(now, rate);

    const double back = 48000;
    Value text = rt.newString(std::string_view(reinterpret_cast<const char *>(&back), 8),
                              xnq::host::kUnknown);
    ASSERT_FALSE(rt.call(ca, "AudioDeviceSetPropertyString",
                         {Value::integer(devices.output), Value(), Value::integer(0),
                          Value::boolean(false), rt.newString("nsrt"), text})
                     .raised());
    EXPECT_EQ(rt.get(ca, "Lasterror").value.asInteger(), 0);
    Float64 rateNow = 0;
    UInt32 size = sizeof rateNow;
    ASSERT_EQ(AudioDeviceGetProperty(devices.output, 0, false,
                                     kAudioDevicePropertyNominalSampleRate, &size, &rateNow),
              0);
    EXPECT_EQ(rateNow, back);
  }
  EXPECT_EQ(rt.outstanding(), before);
}

}  // namespace
}  // namespace coreaudio_test
