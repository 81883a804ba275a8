// The two classes as the host registered them, the property-code constants and the shared
// host-time methods, read as a host program reads them.
#include <time.h>

#include "coreaudio_test_support.h"

namespace coreaudio_test {
namespace {

class CoreAudioClass : public CoreAudioTest {};

TEST_F(CoreAudioClass, TablesHoldTheMembersInOrderWithTheirFlagsAndGroups) {
  EXPECT_TRUE(rt().registrationErrors().empty());
  const auto *info = rt().findClass("CoreAudioXNQ");
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->properties.size(), 82u);
  for (size_t i = 0; i < 82; ++i) {
    const auto &p = info->properties[i];
    EXPECT_EQ(p.group, i < 81 ? "Constants" : "") << p.name;
    EXPECT_FALSE(p.groupIsNull) << p.name;
    EXPECT_EQ(p.writable, i == 81) << p.name;
    EXPECT_EQ(p.typeName, i < 79 ? "String" : "Integer") << p.name;
  }
  EXPECT_EQ(info->properties[26].name, "kAudioDeviceProcessorOverload");
  EXPECT_EQ(info->properties[81].name, "Lasterror");
  EXPECT_TRUE(info->properties[81].standardGetter && info->properties[81].standardSetter);
  ASSERT_EQ(info->methods.size(), 36u);
  for (size_t i = 0; i < 36; ++i) EXPECT_EQ(info->methods[i].flags, i < 8 ? 0 : 4) << i;
  EXPECT_EQ(info->methods[7].name, "AudioUnitReset");
  EXPECT_EQ(info->methods[35].name, "AudioUnitGetPropertyCFString");
  EXPECT_TRUE(info->methods[14].params[4].byRef && info->methods[14].params[5].byRef);
  ASSERT_EQ(info->sharedMethods.size(), 5u);
  for (const auto &m : info->sharedMethods) EXPECT_EQ(m.name.substr(m.name.size() - 3), "XNQ");
  const auto *listener = rt().findClass("CoreAudioListenerXNQ");
  ASSERT_NE(listener, nullptr);
  const char *names[] = {"LastError", "ObjectID", "PropertySelector", "PropertyScope",
                         "PropertyElement"};
  ASSERT_EQ(listener->properties.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(listener->properties[i].name, names[i]);
    EXPECT_EQ(listener->properties[i].typeName, i == 0 ? "Integer" : "UInt32");
    EXPECT_TRUE(listener->properties[i].groupIsNull);
    EXPECT_FALSE(listener->properties[i].writable);
  }
  ASSERT_EQ(listener->methods.size(), 2u);
  EXPECT_EQ(listener->methods[1].params.size(), 4u);
  ASSERT_EQ(listener->events.size(), 1u);
  EXPECT_EQ(listener->events[0].name, "Changed");
}

TEST_F(CoreAudioClass, EveryCodeConstantIsItsFourCharactersInASCII) {
  const auto *info = rt().findClass("CoreAudioXNQ");
  for (size_t i = 0; i < 79; ++i) {
    Value value = rt().get(ca, info->properties[i].name).value;
    EXPECT_EQ(value.bytes().size(), 4u) << info->properties[i].name;
    EXPECT_EQ(value.encoding(), xnq::host::kASCII) << info->properties[i].name;
  }
  const struct {
    const char *name, *code;
  } spellings[] = {{"kAudioDevicePropertyDeviceName", "name"},
                   {"kAudioHardwarePropertyDefaultInputDevice", "dIn "},
                   {"kAudioStreamPropertyPhysicalFormat", "pft "},
                   {"kAudioDeviceProcessorOverload", "over"},
                   {"kAudioHardwarePropertyBootChimeVolumeRangeDecibels", "bbd#"},
                   {"kAudioDevicePropertySubMute", "smut"},
                   {"kAudioPropertyWildcardPropertyID", "****"}};
  for (const auto &s : spellings) EXPECT_EQ(rt().get(ca, s.name).value.bytes(), s.code);
  EXPECT_EQ(rt().get(ca, "kAudioPropertyWildcardSection").value.asInteger(), 255);
  EXPECT_EQ(rt().get(ca, "kAudioPropertyWildcardChannel").value.asInteger(), -1);
  // Each read builds a string of its own, and the platform answers to it.
  Value first = rt().get(ca, "kAudioHardwarePropertyDefaultOutputDevice").value;
  EXPECT_NE(first.handle(),
            rt().get(ca, "kAudioHardwarePropertyDefaultOutputDevice").value.handle());
  EXPECT_EQ(BytesOf(Call("AudioHardwareGetPropertyMemory", {first})), BytesOf(devices.output));
}

// Host time through the shared methods, on a clock whose ticks are nanoseconds and on one whose
// ticks are 125/3 ns (24 MHz): each method gives its own conversion, so a swapped or missing one
// shows on the second.
TEST_F(CoreAudioClass, HostTimeMethodsFollowThePlatformsClock) {
  auto shared = [&](const char *method, std::vector<Value> args = {}) {
    return rt().callShared("CoreAudioXNQ", method, args).value;
  };
  EXPECT_EQ(shared("GetHostClockMinimumTimeDeltaXNQ").asInteger(), 1);
  const struct {
    UInt32 numer, denom;
    double frequency;
  } clocks[] = {{1, 1, 1e9}, {125, 3, 24e6}};
  for (const auto &clock : clocks) {
    ASSERT_EQ(xnq_hal_set_host_clock_timebase(clock.numer, clock.denom), 0);
    EXPECT_EQ(shared("CoreAudioGetHostClockFrequencyXNQ").asDouble(), clock.frequency);
    const uint64_t ticks = 3000000000000ull * clock.denom, nanos = 3000000000000ull * clock.numer;
    EXPECT_EQ(shared("CoreAudioConvertHostTimeToNanosXNQ", {Value::uint64(ticks)}).asUInt64(),
              nanos);
    EXPECT_EQ(shared("CoreAudioConvertNanosToHostTimeXNQ", {Value::uint64(nanos)}).asUInt64(),
              ticks);
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t now = uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
    const uint64_t hostNow = shared("CoreAudioGetCurrentHostTimeXNQ").asUInt64();
    EXPECT_GE(hostNow, now / clock.numer * clock.denom);
    EXPECT_LT(hostNow, (now + 1000000000u) / clock.numer * clock.denom);
  }
  EXPECT_NE(xnq_hal_set_host_clock_timebase(0, 1), 0);  // a timebase without ticks is refused
  xnq_hal_set_host_clock_timebase(1, 1);
}

}  // namespace
}  // namespace coreaudio_test
