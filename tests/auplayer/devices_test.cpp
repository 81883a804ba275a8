// Where the file player plays: the output devices, and the output unit's device and channel map.
#include "auplayer_test_support.h"

namespace auplayer_test {
namespace {

AudioDeviceID AddDevice(const char *name, UInt32 out, UInt32 in) {
  XnqDeviceConfig config{"null", name, nullptr, nullptr, 44100, out, in, 512, XNQ_CLOCK_STEPPED};
  return xnq_hal_add_device(&config);
}

class AUPlayerDevices : public AUPlayerTest {};

TEST_F(AUPlayerDevices, OuputDevicesListsOutputDevicesOnlyBeforeAnyLoad) {
  Value player = NewPlayer();
  CallResult none = Host().get(player, "OuputDevices");
  EXPECT_EQ(Raised(none), "OutOfMemoryException: Failed to allocate buffer for device IDs.");
  EXPECT_TRUE(none.value.isNil());
  const AudioDeviceID a = AddDevice("Out A", 2, 0), in = AddDevice("In B", 0, 1),
                      c = AddDevice("Out \xc3\x87", 6, 2);
  ASSERT_TRUE(a && in && c);
  std::string listed;
  for (const auto &[id, name] : Host().dictionaryEntries(Get(player, "OuputDevices")))
    listed += std::to_string(id.asInteger()) + "=" + name.utf8() + ";";
  EXPECT_EQ(listed, std::to_string(a) + "=Out A;" + std::to_string(c) + "=Out \xc3\x87;");
  EXPECT_EQ(Lasterror(player), 0);
  EXPECT_EQ(Get(player, "DefaultDeviceID").asInteger(), a);
}

TEST_F(AUPlayerDevices, TheHALOutputPlaysToTheChosenDeviceThroughItsChannelMap) {
  const AudioDeviceID a = AddDevice("Out A", 2, 0), in = AddDevice("In", 0, 2),
                      c = AddDevice("Out C", 4, 0);
  Value player = NewPlayer();
  EXPECT_TRUE(Host().call(player, "ChannelMap").value.isNil());
  EXPECT_NE(Lasterror(player), 0);
  Set(player, "OutputUnit", Value::integer(2));
  ASSERT_TRUE(
      Load(player, WriteFile("map.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 441)).value.asBool());
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
  // The program's own field keeps what it writes and is given back when the object goes.
  Set(player, "Tag", Host().newVariant(Host().newString("mine")));
  EXPECT_EQ(Get(player, "Tag").utf8(), "mine");
}

}  // namespace
}  // namespace auplayer_test
