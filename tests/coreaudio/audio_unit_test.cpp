// Audio units and components through CoreAudioXNQ: opening by type, the life cycle and start and
// stop of an output unit on a device, unit properties and parameters by handle, and the status
// each call leaves.
#include "os/audio_unit.h"

#include "coreaudio_test_support.h"

namespace coreaudio_test {
namespace {

class CoreAudioUnits : public CoreAudioTest {
 protected:
  void SetUp() override {
    CoreAudioTest::SetUp();
    if (IsSkipped()) return;
    unit = Call("OpenDefaultComponent", {Str("auou"), Str("def ")});
    ASSERT_NE(unit.asInteger(), 0);
    EXPECT_EQ(LastError(), 0);
  }
  std::vector<Value> Property(AudioUnitPropertyID id, AudioUnitScope scope = 0,
                              AudioUnitElement element = 0) {
    return {unit, Int(id), Int(scope), Int(element)};
  }
  std::vector<Value> Parameter(AudioUnitParameterID id) { return {unit, Int(id), Int(0), Int(0)}; }
  UInt32 DeviceRunning() {
    return hal_test::deviceValue<UInt32>(devices.output, false,
                                         kAudioDevicePropertyDeviceIsRunning);
  }
  Value unit;
};

// The default output unit plays on the default device: initialised, started and stopped through
// the class, it runs the device and reports running; each call's status is its result.
TEST_F(CoreAudioUnits, TheDefaultOutputUnitStartsAndStopsItsDevice) {
  EXPECT_EQ(Call("AudioOutputUnitStart", {unit}).asInteger(), kAudioUnitErr_Uninitialized);
  EXPECT_EQ(LastError(), kAudioUnitErr_Uninitialized);
  const struct {
    const char *method;
    UInt32 running;
  } steps[] = {{"AudioUnitInitialize", 0},
               {"AudioOutputUnitStart", 1},
               {"AudioOutputUnitStop", 0},
               {"AudioOutputUnitStart", 1},
               {"AudioUnitUninitialize", 0}};
  for (const auto &step : steps) {
    EXPECT_EQ(Call(step.method, {unit}).asInteger(), 0) << step.method;
    EXPECT_EQ(LastError(), 0) << step.method;
    EXPECT_EQ(
        BytesOf(Call("AudioUnitGetPropertyMemory", Property(kAudioOutputUnitProperty_IsRunning))),
        BytesOf(step.running))
        << step.method;
    EXPECT_EQ(DeviceRunning(), step.running) << step.method;
  }
  EXPECT_EQ(Call("AudioUnitReset", {unit, Int(0), Int(0)}).asInteger(), LastError());
  Call("CloseComponent", {unit});
  EXPECT_EQ(LastError(), 0);
  // Closing it again: the 16-bit error stays negative in the 32-bit Lasterror.
  Call("CloseComponent", {unit});
  EXPECT_LT(LastError(), -1);
  // No component of a subtype: 0 and -1; a short code is padded with blanks.
  EXPECT_EQ(Call("OpenDefaultComponent", {Str("auou"), Str("zzzz")}).asInteger(), 0);
  EXPECT_EQ(LastError(), -1);
  Value padded = Call("OpenDefaultComponent", {Str("auou"), Str("def")});
  EXPECT_NE(padded.asInteger(), 0);
  Call("CloseComponent", {padded});
}

TEST_F(CoreAudioUnits, PropertiesAndParametersByHandle) {
  const auto slice = Property(kAudioUnitProperty_MaximumFramesPerSlice);
  std::vector<Value> info = With(slice, {Int(0), Value::boolean(false)});
  CallByref("AudioUnitGetPropertyInfo", info);
  EXPECT_EQ(info[4].asInteger(), 4);
  EXPECT_TRUE(info[5].asBool());
  const UInt32 frames = 2048;
  Call("AudioUnitSetPropertyMemory", With(slice, {Bytes(&frames, 4), Int(0), Int(4)}));
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(BytesOf(Call("AudioUnitGetPropertyMemory", slice)), BytesOf(frames));
  EXPECT_EQ(Call("AudioUnitGetPropertyCFString", slice).bytes(), "");  // not a CFString
  EXPECT_EQ(LastError(), 0);
  // A nil string passes no data, which the unit refuses.
  Call("AudioUnitSetPropertyString", With(slice, {Value()}));
  EXPECT_EQ(LastError(), kAudioUnitErr_InvalidPropertyValue);
  // The first parameter and its range, read through the class, then set and read back.
  const Value list = Call("AudioUnitGetPropertyMemory", Property(kAudioUnitProperty_ParameterList));
  ASSERT_GE(list.size(), 4);
  UInt32 parameter = 0;
  std::memcpy(&parameter, list.data(), 4);
  const Value infoBlock =
      Call("AudioUnitGetPropertyMemory", Property(kAudioUnitProperty_ParameterInfo, 0, parameter));
  AudioUnitParameterInfo range;
  ASSERT_EQ(infoBlock.size(), int64_t(sizeof range));
  std::memcpy(&range, infoBlock.data(), sizeof range);
  const float wanted = range.minValue + (range.maxValue - range.minValue) / 4;
  Call("AudioUnitSetParameter", With(Parameter(parameter), {Value::single(wanted), Int(0)}));
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(Call("AudioUnitGetParameter", Parameter(parameter)).asSingle(), wanted);
  // A property of no bytes: the memory read keeps the info status 0, the string read -1.
  const auto empty = Property(kAudioUnitProperty_ParameterList, kAudioUnitScope_Output);
  EXPECT_TRUE(Call("AudioUnitGetPropertyMemory", empty).isNil());
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(BytesOf(Call("AudioUnitGetPropertyString", empty)), "");
  EXPECT_EQ(LastError(), -1);
  // A closed handle is no unit any more: the read gives 0.0 and the framework's error.
  Call("CloseComponent", {unit});
  EXPECT_EQ(Call("AudioUnitGetParameter", Parameter(parameter)).asSingle(), 0.0f);
  EXPECT_EQ(LastError(), badComponentInstance);
}

}  // namespace
}  // namespace coreaudio_test
