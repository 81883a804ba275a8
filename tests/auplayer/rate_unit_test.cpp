// The rate-unit switch as a host program sees it, on a system with the newer time-pitch unit
// and (built with AUPLAYER_TEST_OLD_SYSTEM) on an older one.
#include "auplayer_test_support.h"
#include "os/components.h"

namespace auplayer_test {
namespace {

class AUPlayerRateUnit : public AUPlayerTest {};

// The unit's subtype and whether it is bypassed.
std::pair<OSType, UInt32> State(const Value &player, const char *handle) {
  ComponentDescription description{};
  AudioUnit unit = Unit(player, handle);
  GetComponentInfo(GetComponentFromInstance(unit), &description, nullptr, nullptr, nullptr);
  UInt32 bypass = 99, size = sizeof bypass;
  AudioUnitGetProperty(unit, kAudioUnitProperty_BypassEffect, 0, 0, &bypass, &size);
  return {description.componentSubType, bypass};
}

// The system decides which time-pitch unit the graph holds; the switch bypasses the other unit,
// before a load (the load applies the choice) as after it, and makes no call for the unit that
// already plays.
TEST_F(AUPlayerRateUnit, TheRateUnitSwitchBypassesTheUnitNotChosen) {
#ifdef AUPLAYER_TEST_OLD_SYSTEM
  const OSType timePitch = kAudioUnitSubType_TimePitch;
#else
  const OSType timePitch = kAudioUnitSubType_NewTimePitch;
#endif
  const std::string wav = WriteFile("switch.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 4410);
  Value early = NewPlayer();
  Set(early, "TimePitchUnit", Value::integer(2));
  EXPECT_EQ(Lasterror(early), static_cast<int32_t>(badComponentInstance));
  Set(early, "OutputUnit", Value::integer(1));
  ASSERT_TRUE(Load(early, wav).value.asBool());
  EXPECT_EQ(State(early, "TimePitchHandle"), std::make_pair(timePitch, UInt32{1}));
  EXPECT_EQ(State(early, "VariSpeedHandle").second, 0u);

  Value player = Loaded(wav);
  EXPECT_EQ(Get(player, "TimePitchUnit").asInteger(), 0);
  const struct {
    int64_t set, reads, lasterror;
    UInt32 timePitchBypassed;
  } steps[] = {{0, 1, 0, 0}, {1, 1, -1, 0}, {2, 2, 0, 1}, {3, 2, -1, 1}, {0, 1, 0, 0}};
  for (const auto &s : steps) {
    SCOPED_TRACE(&s - steps);
    Set(player, "TimePitchUnit", Value::integer(s.set));
    EXPECT_EQ(Get(player, "TimePitchUnit").asInteger(), s.reads);
    EXPECT_EQ(Lasterror(player), s.lasterror);
    EXPECT_EQ(State(player, "TimePitchHandle").second, s.timePitchBypassed);
    EXPECT_EQ(State(player, "VariSpeedHandle").second, 1 - s.timePitchBypassed);
  }
}

}  // namespace
}  // namespace auplayer_test
