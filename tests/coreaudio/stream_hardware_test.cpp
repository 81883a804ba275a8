// Stream and hardware properties through CoreAudioXNQ, and where their status rules differ from
// the device members.
#include <cstring>
#include <vector>

#include "coreaudio_host.h"

namespace coreaudio_test {
namespace {

class CoreAudioStreamHardwareTest : public CoreAudioTest {
 protected:
  AudioStreamID FirstStream(AudioDeviceID device, bool input) {
    AudioStreamID streams[8] = {};
    UInt32 size = sizeof streams;
    EXPECT_EQ(AudioDeviceGetProperty(device, 0, input, kAudioDevicePropertyStreams, &size, streams),
              0);
    EXPECT_GE(size, sizeof(AudioStreamID));
    return streams[0];
  }
};

TEST_F(CoreAudioStreamHardwareTest, StreamReadsDirectionAndFormat) {
  const AudioStreamID output = FirstStream(devices.output, false);
  const AudioStreamID input = FirstStream(devices.input, true);
  {
    Value ca = NewCoreAudio();
    auto direction = [&](AudioStreamID stream) {
      Value block = Call(ca, "AudioStreamGetPropertyMemory",
                         {Value::integer(stream), Value::integer(0), Str("sdir")});
      uint32_t value = 99;
      if (block.size() == 4) std::memcpy(&value, block.data(), 4);
      return value;
    };
    EXPECT_EQ(direction(output), 0u);
    EXPECT_EQ(direction(input), 1u);
    EXPECT_EQ(LastError(ca), 0);

    // The physical format code has a trailing blank and is passed as typed.
    Value format = Call(ca, "AudioStreamGetPropertyMemory",
                        {Value::integer(output), Value::integer(0), Str("pft ")});
    ASSERT_EQ(format.size(), static_cast<int64_t>(sizeof(AudioStreamBasicDescription)));
    AudioStreamBasicDescription asbd;
    std::memcpy(&asbd, format.data(), sizeof asbd);
    EXPECT_EQ(asbd.mSampleRate, 48000.0);
    EXPECT_EQ(asbd.mChannelsPerFrame, 2u);

    std::vector<Value> args = {Value::integer(output), Value::integer(0), Str("sdir"),
                               Value::integer(0), Value::boolean(true)};
    ASSERT_FALSE(rt().call(ca, "AudioStreamGetPropertyInfo", args).raised());
    EXPECT_EQ(args[3].asInteger(), 4);
    EXPECT_FALSE(args[4].asBool());
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioStreamHardwareTest, UnknownStreamKeepsTheFrameworkStatusEvenForCFString) {
  const AudioStreamID unknown = 0x7777;
  UInt32 size = 0;
  Boolean writable = false;
  const OSStatus expected =
      AudioStreamGetPropertyInfo(unknown, 0, kAudioObjectPropertyName, &size, &writable);
  ASSERT_NE(expected, 0);
  Value ca = NewCoreAudio();
  Value cf = Call(ca, "AudioStreamGetPropertyCFString",
                  {Value::integer(unknown), Value::integer(0), Str("lnam")});
  EXPECT_EQ(cf.bytes(), "");
  EXPECT_EQ(LastError(ca), expected);
  Value text = Call(ca, "AudioStreamGetPropertyString",
                    {Value::integer(unknown), Value::integer(0), Str("sdir")});
  EXPECT_TRUE(text.isNil() || text.bytes().empty());
  EXPECT_EQ(LastError(ca), expected);
}

TEST_F(CoreAudioStreamHardwareTest, HardwareReadsDefaultsAndDeviceList) {
  {
    Value ca = NewCoreAudio();
    auto device = [&](const char *code) {
      Value block = Call(ca, "AudioHardwareGetPropertyMemory", {Str(code)});
      uint32_t id = 0;
      if (block.size() == 4) std::memcpy(&id, block.data(), 4);
      return id;
    };
    EXPECT_EQ(device("dOut"), devices.output);
    EXPECT_EQ(device("dIn "), devices.input);
    EXPECT_EQ(device("sOut"), devices.output);
    EXPECT_EQ(LastError(ca), 0);

    std::vector<Value> args = {Str("dev#"), Value::integer(0), Value::boolean(true)};
    ASSERT_FALSE(rt().call(ca, "AudioHardwareGetPropertyInfo", args).raised());
    EXPECT_EQ(args[1].asInteger(), 8);
    EXPECT_FALSE(args[2].asBool());

    // A device ID is not a string reference, whatever its size on this build.
    Value cf = Call(ca, "AudioHardwareGetPropertyCFString", {Str("dOut")});
    EXPECT_EQ(cf.bytes(), "");
    EXPECT_EQ(LastError(ca), 0);
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioStreamHardwareTest, HardwareWritesGoToTheFramework) {
  XnqDeviceConfig second{};
  second.backend = "null";
  second.name = "Second Output";
  second.outputChannels = 2;
  second.clock = XNQ_CLOCK_STEPPED;
  const AudioDeviceID other = xnq_hal_add_device(&second);
  ASSERT_NE(other, 0u);
  Value ca = NewCoreAudio();
  Value block = Block(&other, 4);
  Call(ca, "AudioHardwareSetPropertyMemory",
       {Str("dOut"), block, Value::integer(0), Value::integer(4)});
  EXPECT_EQ(LastError(ca), 0);
  AudioDeviceID now = 0;
  UInt32 size = sizeof now;
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &now), 0);
  EXPECT_EQ(now, other);

  // The same write as a string of raw bytes.
  Value text = rt().newString(std::string_view(reinterpret_cast<const char *>(&devices.output), 4),
                              xnq::host::kUnknown);
  Call(ca, "AudioHardwareSetPropertyString", {Str("dOut"), text});
  EXPECT_EQ(LastError(ca), 0);
  ASSERT_EQ(AudioHardwareGetProperty(kAudioHardwarePropertyDefaultOutputDevice, &size, &now), 0);
  EXPECT_EQ(now, devices.output);

  CallRaising(ca, "AudioHardwareSetPropertyMemory",
              {Str("dOut"), block, Value::integer(2), Value::integer(4)}, "OutOfBoundsException");
  EXPECT_EQ(LastError(ca), -1);
}

// An empty string is data of zero bytes (the framework refuses its size), a nil one no data at
// all (the framework refuses the request): the string writes pass each as it is.
TEST_F(CoreAudioStreamHardwareTest, StringWritesTellEmptyStringsFromNil) {
  Value ca = NewCoreAudio();
  const Value stream = Value::integer(FirstStream(devices.output, false));
  const Value device = Value::integer(devices.output);
  for (const bool empty : {true, false}) {
    const Value data = empty ? Str("") : Value();
    const int64_t expected =
        empty ? kAudioHardwareBadPropertySizeError : kAudioHardwareIllegalOperationError;
    Call(ca, "AudioDeviceSetPropertyString",
         {device, Value(), Value::integer(0), Value::boolean(false), Str("nsrt"), data});
    EXPECT_EQ(LastError(ca), expected) << "device, empty " << empty;
    Call(ca, "AudioStreamSetPropertyString",
         {stream, Value(), Value::integer(0), Str("sfmt"), data});
    EXPECT_EQ(LastError(ca), expected) << "stream, empty " << empty;
    Call(ca, "AudioHardwareSetPropertyString", {Str("dOut"), data});
    EXPECT_EQ(LastError(ca), expected) << "hardware, empty " << empty;
  }
}

}  // namespace
}  // namespace coreaudio_test
