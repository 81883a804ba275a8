// The property-code constants and the shared host-time methods, read as a host program reads them.
#include <time.h>

#include <cstring>
#include <string>

#include "coreaudio_host.h"

namespace coreaudio_test {
namespace {

class CoreAudioConstantsTest : public CoreAudioTest {};

TEST_F(CoreAudioConstantsTest, EveryCodeConstantIsAFourCharacterAsciiString) {
  {
    Value object = NewCoreAudio();
    const auto *info = rt().findClass("CoreAudioXNQ");
    ASSERT_NE(info, nullptr);
    for (size_t i = 0; i < 79; ++i) {
      CallResult value = rt().get(object, info->properties[i].name);
      ASSERT_FALSE(value.raised());
      EXPECT_EQ(value.value.bytes().size(), 4u) << info->properties[i].name;
      EXPECT_EQ(value.value.encoding(), xnq::host::kASCII) << info->properties[i].name;
    }
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioConstantsTest, CodesKeepTheirBlanksAndSpellings) {
  {
    Value object = NewCoreAudio();
    auto read = [&](const char *name) { return rt().get(object, name).value.bytes(); };
    EXPECT_EQ(read("kAudioDevicePropertyDeviceName"), "name");
    EXPECT_EQ(read("kAudioHardwarePropertyDefaultInputDevice"), "dIn ");
    EXPECT_EQ(read("kAudioStreamPropertyPhysicalFormat"), "pft ");
    EXPECT_EQ(read("kAudioDevicePropertyDeviceUID"), "uid ");
    EXPECT_EQ(read("kAudioDeviceProcessorOverload"), "over");
    EXPECT_EQ(read("kAudioHardwarePropertyBootChimeVolumeRangeDecibels"), "bbd#");
    EXPECT_EQ(read("kAudioDevicePropertySubMute"), "smut");
    EXPECT_EQ(read("kAudioPropertyWildcardPropertyID"), "****");
    EXPECT_EQ(rt().get(object, "kAudioPropertyWildcardSection").value.asInteger(), 255);
    EXPECT_EQ(rt().get(object, "kAudioPropertyWildcardChannel").value.asInteger(), -1);
    // Each read builds a string of its own.
    Value first = rt().get(object, "kAudioDevicePropertyNominalSampleRate").value;
    Value second = rt().get(object, "kAudioDevicePropertyNominalSampleRate").value;
    EXPECT_EQ(first.bytes(), "nsrt");
    EXPECT_NE(first.handle(), second.handle());
  }
  EXPECT_EQ(rt().outstanding(), before);
}

TEST_F(CoreAudioConstantsTest, ConstantsMatchWhatThePlatformAnswersTo) {
  // The default output device read through the constant's own text.
  Value object = NewCoreAudio();
  Value code = rt().get(object, "kAudioHardwarePropertyDefaultOutputDevice").value;
  Value block = Call(object, "AudioHardwareGetPropertyMemory", {code});
  ASSERT_EQ(block.size(), 4);
  uint32_t device = 0;
  std::memcpy(&device, block.data(), 4);
  EXPECT_EQ(device, devices.output);
  EXPECT_EQ(LastError(object), 0);
}

class CoreAudioHostTimeTest : public CoreAudioTest {};

TEST_F(CoreAudioHostTimeTest, SharedMethodsReportThePlatformClock) {
  CallResult frequency = rt().callShared("CoreAudioXNQ", "CoreAudioGetHostClockFrequencyXNQ");
  ASSERT_FALSE(frequency.raised());
  EXPECT_DOUBLE_EQ(frequency.value.asDouble(), AudioGetHostClockFrequency());
  CallResult delta = rt().callShared("CoreAudioXNQ", "GetHostClockMinimumTimeDeltaXNQ");
  EXPECT_EQ(delta.value.asInteger(), static_cast<int64_t>(AudioGetHostClockMinimumTimeDelta()));

  const uint64_t earlier = AudioGetCurrentHostTime();
  CallResult now = rt().callShared("CoreAudioXNQ", "CoreAudioGetCurrentHostTimeXNQ");
  const uint64_t later = AudioGetCurrentHostTime();
  EXPECT_GE(now.value.asUInt64(), earlier);
  EXPECT_LE(now.value.asUInt64(), later);
}

TEST_F(CoreAudioHostTimeTest, HostTimeSurvivesARoundTripThroughNanoseconds) {
  const uint64_t hostTime = AudioGetCurrentHostTime();
  CallResult nanos = rt().callShared("CoreAudioXNQ", "CoreAudioConvertHostTimeToNanosXNQ",
                                     {Value::uint64(hostTime)});
  ASSERT_FALSE(nanos.raised());
  EXPECT_EQ(nanos.value.asUInt64(), AudioConvertHostTimeToNanos(hostTime));
  CallResult back = rt().callShared("CoreAudioXNQ", "CoreAudioConvertNanosToHostTimeXNQ",
                                    {Value::uint64(nanos.value.asUInt64())});
  const uint64_t tolerance = AudioGetHostClockMinimumTimeDelta() + 1;
  const uint64_t result = back.value.asUInt64();
  EXPECT_LE(result > hostTime ? result - hostTime : hostTime - result, tolerance);
  // Values beyond 32 bits travel whole.
  const uint64_t big = 0x123456789ABCull;
  CallResult converted =
      rt().callShared("CoreAudioXNQ", "CoreAudioConvertNanosToHostTimeXNQ", {Value::uint64(big)});
  EXPECT_EQ(converted.value.asUInt64(), AudioConvertNanosToHostTime(big));
}

// On a machine whose clock ticks are not nanoseconds (here 125/3 ns, 24 MHz), each method gives
// its own conversion: a swapped or missing one shows.
TEST_F(CoreAudioHostTimeTest, ConversionsFollowAClockWhoseTicksAreNotNanoseconds) {
  ASSERT_EQ(xnq_hal_set_host_clock_timebase(125, 3), 0);
  auto shared = [&](const char *method, std::vector<Value> args = {}) {
    return rt().callShared("CoreAudioXNQ", method, args).value;
  };
  EXPECT_EQ(shared("CoreAudioGetHostClockFrequencyXNQ").asDouble(), 24e6);
  const uint64_t ticks = 3000000000000ull;
  EXPECT_EQ(shared("CoreAudioConvertHostTimeToNanosXNQ", {Value::uint64(ticks)}).asUInt64(),
            125000000000000ull);
  EXPECT_EQ(
      shared("CoreAudioConvertNanosToHostTimeXNQ", {Value::uint64(125000000000000ull)}).asUInt64(),
      ticks);
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t nanos = uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
  const uint64_t now = shared("CoreAudioGetCurrentHostTimeXNQ").asUInt64();
  EXPECT_GE(now, nanos / 125 * 3);
  EXPECT_LT(now, (nanos + 1000000000u) / 125 * 3);
  xnq_hal_set_host_clock_timebase(1, 1);
}

}  // namespace
}  // namespace coreaudio_test
