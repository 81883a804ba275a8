// Where the file player plays: output devices, the output unit's device and channel map, the
// output unit the load takes; and the rate units the system offers. Built also for an older
// system under a 2008 host (AUPLAYER_TEST_OLD_SYSTEM).
#include "auplayer_test_support.h"

namespace auplayer_test {
namespace {

AudioDeviceID AddDevice(const char *name, UInt32 out, UInt32 in, UInt32 clock = XNQ_CLOCK_STEPPED) {
  XnqDeviceConfig config{"null", name, nullptr, nullptr, 44100, out, in, 256, clock};
  return xnq_hal_add_device(&config);
}

class AUPlayerDevices : public AUPlayerTest {};

// Before any load: no devices, then output devices only; then the device and map of the HAL
// output unit. (The map of a player without a file is the playback suite's to show.)
TEST_F(AUPlayerDevices, TheHALOutputPlaysToTheChosenDeviceThroughItsChannelMap) {
  Value player = NewPlayer();
  CallResult none = Host().get(player, "OuputDevices");
  EXPECT_EQ(Raised(none), "OutOfMemoryException: Failed to allocate buffer for device IDs.");
  EXPECT_TRUE(none.value.isNil());
  const AudioDeviceID a = AddDevice("Out A", 2, 0), in = AddDevice("In", 0, 2),
                      c = AddDevice("Out \xc3\x87", 4, 2, XNQ_CLOCK_FREE_RUNNING);
  std::string listed;
  for (const auto &[id, name] : Host().dictionaryEntries(Get(player, "OuputDevices")))
    listed += std::to_string(id.asInteger()) + "=" + name.utf8() + ";";
  EXPECT_EQ(listed, std::to_string(a) + "=Out A;" + std::to_string(c) + "=Out \xc3\x87;");
  EXPECT_EQ(Lasterror(player), 0);
  EXPECT_EQ(Get(player, "DefaultDeviceID").asInteger(), a);
  Set(player, "OutputUnit", Value::integer(2));
  ASSERT_TRUE(Load(player, WriteFile("map.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 44100))
                  .value.asBool());
  EXPECT_EQ(Get(player, "CurrentDeviceID").asInteger(), a);
  Set(player, "CurrentDeviceID", Value::uint32(in));
  EXPECT_NE(Lasterror(player), 0);
  Set(player, "CurrentDeviceID", Value::uint32(c));
  EXPECT_EQ(Lasterror(player), 0);
  EXPECT_EQ(Get(player, "CurrentDeviceID").asInteger(), c);
  auto map = [&] { return Host().integerArray(Host().call(player, "ChannelMap").value); };
  EXPECT_EQ(map(), (std::vector<int64_t>{0, 1, 2, 3}));
  const struct {
    Value values;
    std::vector<int64_t> map;
  } cases[] = {{Host().newIntegerArray({1, 0}), {1, 0, -1, -1}},
               {Host().newIntegerArray({3, 2, 1, 0, 1, 2}), {3, 2, 1, 0}},
               {Host().newIntegerArray({}), {-1, -1, -1, -1}},
               {Value::nil(), {-1, -1, -1, -1}}};
  for (const auto &c : cases) {
    EXPECT_EQ(Raised(Host().call(player, "setChannelMap", {c.values})), "");
    EXPECT_EQ(Lasterror(player), 0);
    EXPECT_EQ(map(), c.map);
  }
  Host().call(player, "Play");
  EXPECT_TRUE(Get(player, "Playing").asBool());  // and the object goes while it plays
  // The program's own field keeps what it writes and is given back when the object goes.
  Set(player, "Tag", Host().newVariant(Host().newString("mine")));
  EXPECT_EQ(Get(player, "Tag").utf8(), "mine");
}

// The graph ends in the output unit OutputUnit names, the HAL output for 0 and every value
// outside 1 to 4. The system picks the time-pitch unit; the switch bypasses the other one, also
// before a load (which applies the choice), and makes no call for the unit that already plays.
TEST_F(AUPlayerDevices, TheGraphTakesTheOutputUnitAndTheRateUnitChosen) {
#ifdef AUPLAYER_TEST_OLD_SYSTEM
  const OSType timePitch = kAudioUnitSubType_TimePitch;
#else
  const OSType timePitch = kAudioUnitSubType_NewTimePitch;
#endif
  const std::string wav = WriteFile("switch.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 4410);
  AddDevice("Out", 2, 0);
  const int64_t past32Bits = sizeof(void *) > 4 ? (int64_t{1} << 32) + 3 : 7;
  const std::pair<int64_t, OSType> outputs[] = {{0, kAudioUnitSubType_HALOutput},
                                                {3, kAudioUnitSubType_DefaultOutput},
                                                {4, kAudioUnitSubType_SystemOutput},
                                                {-1, kAudioUnitSubType_HALOutput},
                                                {past32Bits, kAudioUnitSubType_HALOutput}};
  for (const auto &[value, subType] : outputs) {
    Value player = NewPlayer();
    Set(player, "OutputUnit", Value::integer(value));
    ASSERT_TRUE(Load(player, wav).value.asBool()) << value;
    EXPECT_EQ(State(player, "OutputHandle").first, subType) << value;
  }
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
