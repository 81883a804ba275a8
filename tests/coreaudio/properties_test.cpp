// The property methods of CoreAudioXNQ for objects, devices, streams and the hardware: reads as
// string, memory block and CFString, info with byref results, writes by string and by memory
// block, qualifiers, and what each leaves in Lasterror.
#include <functional>

#include "coreaudio_test_support.h"
#include "os/cf.h"

namespace coreaudio_test {
namespace {

const UInt32 kGlobal = kAudioObjectPropertyScopeGlobal;

class CoreAudioProperties : public CoreAudioTest {
 protected:
  static AudioStreamID Stream(AudioDeviceID device, bool input) {
    return hal_test::deviceValue<AudioStreamID>(device, input, kAudioDevicePropertyStreams);
  }
  // The leading arguments of a device read (device, channel, isinput) and write (device, when,
  // channel, isinput); of a stream read (stream, channel) and write (stream, when, channel).
  std::vector<Value> DeviceRead(AudioDeviceID d, bool input = false) {
    return {Int(d), Int(0), Value::boolean(input)};
  }
  std::vector<Value> DeviceWrite(AudioDeviceID d, Value when = Value()) {
    return {Int(d), when, Int(0), Value::boolean(false)};
  }
  std::vector<Value> StreamRead(AudioStreamID s) { return {Int(s), Int(0)}; }
  std::vector<Value> StreamWrite(AudioStreamID s) { return {Int(s), Value(), Int(0)}; }
  static std::vector<Value> Address(uint32_t object, uint32_t selector, uint32_t scope = kGlobal) {
    return {Int(object), Value::uint32(selector), Value::uint32(scope), Value::uint32(0)};
  }
};

TEST_F(CoreAudioProperties, ReadsGiveTheBytesTheTextOrTheCFStringOfAProperty) {
  AudioStreamBasicDescription format{};
  UInt32 size = sizeof format;
  AudioStreamGetProperty(Stream(devices.output, false), 0, kAudioStreamPropertyPhysicalFormat,
                         &size, &format);
  const struct {
    const char *method;
    std::vector<Value> target;
    const char *code;
    std::string expected;
  } reads[] = {
      {"AudioDeviceGetPropertyString", DeviceRead(devices.output), "name",
       std::string("Test Output", 12)},
      {"AudioDeviceGetPropertyCFString", DeviceRead(devices.output), "lnam", "Test Output"},
      {"AudioDeviceGetPropertyCFString", DeviceRead(devices.input, true), "uid ", "test-input-uid"},
      {"AudioDeviceGetPropertyMemory", DeviceRead(devices.output), "nsrt", BytesOf(48000.0)},
      {"AudioDeviceGetPropertyMemory", DeviceRead(devices.output), "fsiz", BytesOf(UInt32{256})},
      {"AudioStreamGetPropertyMemory", StreamRead(Stream(devices.output, false)), "sdir",
       BytesOf(UInt32{0})},
      {"AudioStreamGetPropertyMemory", StreamRead(Stream(devices.input, true)), "sdir",
       BytesOf(UInt32{1})},
      {"AudioStreamGetPropertyMemory", StreamRead(Stream(devices.output, false)), "pft ",
       BytesOf(format)},
      {"AudioHardwareGetPropertyMemory", {}, "dIn ", BytesOf(devices.input)},
      {"AudioHardwareGetPropertyMemory", {}, "sOut", BytesOf(devices.output)},
      // Values that are not CFString references, whatever their size on this build.
      {"AudioDeviceGetPropertyCFString", DeviceRead(devices.output), "nsrt", ""},
      {"AudioDeviceGetPropertyCFString", DeviceRead(devices.output), "fsiz", ""},
      {"AudioHardwareGetPropertyCFString", {}, "dOut", ""},
  };
  for (const auto &r : reads) {
    SCOPED_TRACE(testing::Message() << r.method << " " << r.code);
    Value v = Call(r.method, With(r.target, {Str(r.code)}));
    EXPECT_EQ(std::string(r.method).find("CFString") != std::string::npos ? v.utf8() : BytesOf(v),
              r.expected);
    EXPECT_EQ(LastError(), 0);
  }
}

// Each family keeps a failed call's status in Lasterror, except the device CFString read, which
// keeps -1 when its info call fails; byref info results are cleared first and then written.
TEST_F(CoreAudioProperties, FailuresLeaveEachFamilysStatusAndEmptyResults) {
  const AudioDeviceID unknown = 0x7777;
  UInt32 size = 0;
  Boolean writable = false;
  const OSStatus noDevice = AudioDeviceGetPropertyInfo(
      unknown, 0, false, kAudioDevicePropertyDeviceName, &size, &writable);
  const OSStatus noProperty = AudioDeviceGetPropertyInfo(
      devices.output, 0, false, XNQ_FOURCC('z', 'z', 'z', 'z'), &size, &writable);
  const OSStatus noStream =
      AudioStreamGetPropertyInfo(unknown, 0, kAudioObjectPropertyName, &size, &writable);
  ASSERT_TRUE(noDevice != 0 && noProperty != 0 && noStream != 0);
  const struct {
    const char *method;
    std::vector<Value> target;
    const char *code;
    int64_t lastError;
  } failures[] = {
      {"AudioDeviceGetPropertyString", DeviceRead(unknown), "name", noDevice},
      {"AudioDeviceGetPropertyMemory", DeviceRead(devices.output), "zzzz", noProperty},
      {"AudioDeviceGetPropertyCFString", DeviceRead(unknown), "lnam", -1},
      {"AudioStreamGetPropertyCFString", StreamRead(unknown), "lnam", noStream},
      {"AudioStreamGetPropertyString", StreamRead(unknown), "sdir", noStream},
  };
  for (const auto &f : failures) {
    EXPECT_EQ(BytesOf(Call(f.method, With(f.target, {Str(f.code)}))), "") << f.method;
    EXPECT_EQ(LastError(), f.lastError) << f.method;
  }
  const struct {
    const char *method;
    std::vector<Value> target;
    const char *code;
    int64_t size;
    bool writable;
    int64_t lastError;
  } infos[] = {
      {"AudioDeviceGetPropertyInfo", DeviceRead(devices.output), "nsrt", 8, true, 0},
      {"AudioDeviceGetPropertyInfo", DeviceRead(unknown), "nsrt", 0, false, noDevice},
      {"AudioStreamGetPropertyInfo", StreamRead(Stream(devices.output, false)), "sdir", 4, false,
       0},
      {"AudioHardwareGetPropertyInfo", {}, "dev#", 8, false, 0},
  };
  for (const auto &i : infos) {
    std::vector<Value> args = With(i.target, {Str(i.code), Int(77), Value::boolean(!i.writable)});
    CallByref(i.method, args);
    EXPECT_EQ(args[args.size() - 2].asInteger(), i.size) << i.method;
    EXPECT_EQ(args.back().asBool(), i.writable) << i.method;
    EXPECT_EQ(LastError(), i.lastError) << i.method;
  }
}

// The string and memory writes of each family reach the platform: a rate by its bytes (from an
// offset in a block, or as the raw bytes of a string), a stream format, a default device.
TEST_F(CoreAudioProperties, WritesPassTheStringsBytesOrTheBlocksRangeAsTheyAre) {
  const AudioStreamID stream = Stream(devices.output, false);
  auto rateBytes = [](double rate) { return std::string(8, '\xEE') + BytesOf(rate); };
  AudioStreamBasicDescription format{};
  UInt32 size = sizeof format;
  AudioStreamGetProperty(stream, 0, kAudioDevicePropertyStreamFormat, &size, &format);
  auto formatAt = [&](double rate) {
    AudioStreamBasicDescription f = format;
    f.mSampleRate = rate;
    return BytesOf(f);
  };
  XnqDeviceConfig second{"null", "Second Output", nullptr, nullptr, 0, 2, 0, 0, XNQ_CLOCK_STEPPED};
  const AudioDeviceID other = xnq_hal_add_device(&second);
  auto output = [] {
    return double(
        hal_test::hardwareValue<AudioDeviceID>(kAudioHardwarePropertyDefaultOutputDevice));
  };
  auto rate = [&] { return NominalRate(devices.output); };
  const AudioDeviceID out = devices.output;
  const struct {
    const char *method;  // a String method passes the bytes as a string, a Memory one in a block
    std::vector<Value> target;
    const char *code;
    std::string bytes;
    std::function<double()> read;
    double expected;
  } writes[] = {
      {"AudioDeviceSetPropertyMemory", DeviceWrite(out), "nsrt", rateBytes(44100), rate, 44100},
      {"AudioDeviceSetPropertyString", DeviceWrite(out), "nsrt", BytesOf(96000.0), rate, 96000},
      {"AudioStreamSetPropertyMemory", StreamWrite(stream), "sfmt", formatAt(22050), rate, 22050},
      {"AudioStreamSetPropertyString", StreamWrite(stream), "sfmt", formatAt(32000), rate, 32000},
      {"AudioHardwareSetPropertyMemory", {}, "dOut", BytesOf(other), output, double(other)},
      {"AudioHardwareSetPropertyString", {}, "dOut", BytesOf(out), output, double(out)},
  };
  for (const auto &w : writes) {
    SCOPED_TRACE(w.method);
    std::vector<Value> args = With(w.target, {Str(w.code)});
    if (std::string(w.method).ends_with("String")) {
      args.push_back(rt().newString(w.bytes, xnq::host::kUnknown));
    } else {
      const int64_t offset = w.bytes.size() > 8 && w.code == std::string("nsrt") ? 8 : 0;
      args.insert(args.end(), {Bytes(w.bytes.data(), int64_t(w.bytes.size())), Int(offset),
                               Int(int64_t(w.bytes.size()) - offset)});
    }
    Call(w.method, args);
    EXPECT_EQ(LastError(), 0);
    EXPECT_EQ(w.read(), w.expected);
  }
  // An empty string is data of zero bytes (the framework refuses its size), a nil one no data at
  // all (the framework refuses the request).
  for (const bool empty : {true, false}) {
    const Value data = empty ? Str("") : Value();
    const int64_t expected =
        empty ? kAudioHardwareBadPropertySizeError : kAudioHardwareIllegalOperationError;
    Call("AudioDeviceSetPropertyString", With(DeviceWrite(devices.output), {Str("nsrt"), data}));
    EXPECT_EQ(LastError(), expected);
    Call("AudioStreamSetPropertyString", With(StreamWrite(stream), {Str("sfmt"), data}));
    EXPECT_EQ(LastError(), expected);
    Call("AudioHardwareSetPropertyString", {Str("dOut"), data});
    EXPECT_EQ(LastError(), expected);
  }
}

// A memory write never hands the framework bytes outside its block: ranges that leave it, a
// nil block with an offset and a `when` block shorter than a time stamp are refused before any
// call, with OutOfBoundsException and Lasterror -1.
TEST_F(CoreAudioProperties, MemoryWritesRefuseRangesOutsideTheirBlocks) {
  const double rate = 44100;
  Value block = Bytes(&rate, 8);
  const struct {
    Value data;
    int64_t offset, length;
  } ranges[] = {{block, 4, 8}, {block, -1, 8}, {block, 0, 9},
                {block, 9, 0}, {block, 0, -1}, {Value(), 4, 0}};
  for (const auto &r : ranges) {
    CallOutOfBounds(
        "AudioDeviceSetPropertyMemory",
        With(DeviceWrite(devices.output), {Str("nsrt"), r.data, Int(r.offset), Int(r.length)}));
    EXPECT_EQ(LastError(), -1);
  }
  CallOutOfBounds("AudioHardwareSetPropertyMemory", {Str("dOut"), block, Int(6), Int(4)});
  Value shortWhen = rt().newMemoryBlock(sizeof(AudioTimeStamp) - 1);
  CallOutOfBounds("AudioDeviceSetPropertyMemory", With(DeviceWrite(devices.output, shortWhen),
                                                       {Str("nsrt"), block, Int(0), Int(8)}));
  EXPECT_EQ(NominalRate(devices.output), 48000.0);
  Value when = rt().newMemoryBlock(sizeof(AudioTimeStamp));
  Call("AudioDeviceSetPropertyMemory",
       With(DeviceWrite(devices.output, when), {Str("nsrt"), block, Int(0), Int(8)}));
  EXPECT_EQ(NominalRate(devices.output), 44100.0);
  // A nil block at offset 0 passes no data: the framework judges the request.
  Call("AudioDeviceSetPropertyMemory",
       With(DeviceWrite(devices.output), {Str("nsrt"), Value(), Int(0), Int(0)}));
  EXPECT_EQ(LastError(), kAudioHardwareIllegalOperationError);
}

TEST_F(CoreAudioProperties, ObjectMethodsPassAddressesQualifiersAndInputData) {
  const auto devicesAddress = Address(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
  EXPECT_EQ(Call("AudioObjectGetPropertyDataSize", devicesAddress).asInteger(), 8);
  EXPECT_EQ(BytesOf(Call("AudioObjectGetPropertyData", devicesAddress)),
            BytesOf(devices.output) + BytesOf(devices.input));
  EXPECT_EQ(LastError(), 0);
  // A qualifier is passed whole and held only for the call: the device for a UID.
  CFStringRef uid = CFStringCreateWithCString(nullptr, "test-input-uid", kCFStringEncodingUTF8);
  Value qualifier = Bytes(&uid, sizeof uid);
  const auto forUid = Address(kAudioObjectSystemObject, kAudioHardwarePropertyDeviceForUID);
  EXPECT_EQ(Call("AudioObjectGetPropertyDataSize", With(forUid, {qualifier})).asInteger(), 4);
  EXPECT_EQ(BytesOf(Call("AudioObjectGetPropertyData", With(forUid, {qualifier}))),
            BytesOf(devices.input));
  EXPECT_EQ(rt().referenceCount(qualifier), 1);
  CFRelease(uid);
  // With InputData the block itself is filled and returned, with a reference for the caller.
  Value io = rt().newMemoryBlock(16);
  const auto rate = Address(devices.output, kAudioDevicePropertyNominalSampleRate);
  Value result = Call("AudioObjectGetPropertyData", With(rate, {Value(), io}));
  EXPECT_EQ(result.handle(), io.handle());
  EXPECT_EQ(rt().referenceCount(io), 2);
  EXPECT_EQ(io.size(), 16);
  EXPECT_EQ(BytesOf(io).substr(0, 8), BytesOf(48000.0));
  result = Value();
  // A translation reads its input from that block.
  const Float32 full = 1.0f;
  Value volume = Bytes(&full, 4);
  Call("AudioObjectGetPropertyData",
       {Int(devices.output), Value::uint32(kAudioDevicePropertyVolumeScalarToDecibels),
        Value::uint32(kAudioObjectPropertyScopeOutput), Value::uint32(0), Value(), volume});
  EXPECT_EQ(BytesOf(volume), BytesOf(0.0f));
  // Failures: nil (taking no reference) and the framework's status.
  UInt32 size = 0;
  const AudioObjectPropertyAddress zzzz = {XNQ_FOURCC('z', 'z', 'z', 'z'), kGlobal, 0};
  const OSStatus unknown = AudioObjectGetPropertyDataSize(devices.output, &zzzz, 0, nullptr, &size);
  const auto unknownAddress = Address(devices.output, zzzz.mSelector);
  EXPECT_TRUE(Call("AudioObjectGetPropertyData", With(unknownAddress, {Value(), io})).isNil());
  EXPECT_EQ(LastError(), unknown);
  EXPECT_EQ(rt().referenceCount(io), 1);
  EXPECT_EQ(Call("AudioObjectGetPropertyDataSize", unknownAddress).asInteger(), 0);
  EXPECT_EQ(LastError(), unknown);
  // A write sends the whole block; one of the wrong size is the framework's to refuse.
  const double newRate = 44100;
  Call("AudioObjectSetPropertyData", With(rate, {Bytes(&newRate, 8)}));
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(NominalRate(devices.output), 44100.0);
  Call("AudioObjectSetPropertyData", With(rate, {rt().newMemoryBlock(3)}));
  EXPECT_EQ(LastError(), kAudioHardwareBadPropertySizeError);
}

// A property of no bytes: the object read gives nil with success; the hardware string and
// memory reads keep -1, as they leave it until the read.
TEST_F(CoreAudioProperties, AnEmptyPropertyReadsAsNil) {
  xnq_hal_reset();
  EXPECT_TRUE(Call("AudioObjectGetPropertyData",
                   Address(kAudioObjectSystemObject, kAudioHardwarePropertyDevices))
                  .isNil());
  EXPECT_EQ(LastError(), 0);
  for (const char *method : {"AudioHardwareGetPropertyString", "AudioHardwareGetPropertyMemory"}) {
    EXPECT_EQ(BytesOf(Call(method, {Str("dev#")})), "") << method;
    EXPECT_EQ(LastError(), -1) << method;
  }
}

// Hosts before 2017.0 have their memory blocks and strings read straight from the records.
TEST(CoreAudioPropertiesOnOlderHost, BlocksAndStringsAreReadFromTheRecords) {
  xnq::host::Settings settings;
  settings.version = 2013.04;
  if (!LoadPlugin(settings)) GTEST_SKIP() << "the plugin is loaded with other settings";
  const TestDevices devices = ResetDevices();
  Runtime &rt = Runtime::get();
  const auto before = rt.outstanding();
  {
    Value ca = rt.newObject("CoreAudioXNQ").value;
    const double rates[] = {0, 44100};
    rt.call(ca, "AudioDeviceSetPropertyMemory",
            {Int(devices.output), Value(), Int(0), Value::boolean(false), Str("nsrt"),
             Bytes(rates, sizeof rates), Int(8), Int(8)});
    EXPECT_EQ(BytesOf(rt.call(ca, "AudioDeviceGetPropertyMemory",
                              {Int(devices.output), Int(0), Value::boolean(false), Str("nsrt")})
                          .value),
              BytesOf(44100.0));
    rt.call(ca, "AudioDeviceSetPropertyString",
            {Int(devices.output), Value(), Int(0), Value::boolean(false), Str("nsrt"),
             rt.newString(BytesOf(48000.0), xnq::host::kUnknown)});
    EXPECT_EQ(rt.get(ca, "Lasterror").value.asInteger(), 0);
  }
  EXPECT_EQ(rt.outstanding(), before);
}

}  // namespace
}  // namespace coreaudio_test
