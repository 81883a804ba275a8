// Adding blocks to CoreAudioPlayerXNQ as a host program does: every sample format's values as
// they come out of the device, the checks each add makes in their order, and the queue's limit.
#include <cmath>
#include <limits>

#include "player/AudioPlayerData.h"
#include "player_test_support.h"

namespace player_test {
namespace {

constexpr char kNilMessage[] = "Memoryblock is nil";

class PlayerAdd : public PlayerTest {};

TEST_F(PlayerAdd, EveryIntegerFormatConvertsToTheFloatItsBitSizeNames) {
  UseDevice(44100, 1);
  Value player = NewPlayer();
  struct Case {
    std::vector<uint8_t> bytes;
    int bitSize;
    float expected;
  };
  const Case cases[] = {
      {{0x80}, 8, 0.5f},                        // unsigned: no offset is subtracted
      {{0x80}, 7, -1.0f},                       // signed 8-bit
      {{0x7F}, 7, 127.0f / 128.0f},             //
      {{0xFF, 0xFF}, 16, 65535.0f / 65536.0f},  // unsigned 16-bit, little-endian
      {{0xFF, 0xFF}, 15, -1.0f / 32768.0f},     // signed 16-bit
      {{0x00, 0x40}, 15, 0.5f},                 //
      {{0x80, 0x00, 0x00}, 24, 0.5f},           // 24-bit: most significant byte first
      {{0x00, 0x00, 0x80}, 24, 0x1p-17f},       //
      {{0xFF, 0xFF, 0xFF, 0xFF}, 32, 1.0f},     // rounds to 2^32 in single precision
      {{0xFF, 0xFF, 0xFF, 0x7F}, 31, 1.0f},     // 7F FF FF FF as a little-endian value
      {{0x00, 0x00, 0x00, 0x80}, 31, -1.0f},    //
  };
  for (const Case &c : cases) {
    EXPECT_TRUE(
        CallBool(player, "AddAudio", {Bytes(c.bytes), Integer(0), Integer(0), Integer(c.bitSize)}))
        << "BitSize " << c.bitSize;
  }
  // All defaults: the whole block as unsigned 16-bit samples.
  EXPECT_TRUE(CallBool(player, "AddAudio", {Bytes({0x00, 0x80, 0x00, 0x20})}));
  // Three bytes of 16-bit data: one sample, the odd byte ignored.
  EXPECT_TRUE(CallBool(player, "AddAudio",
                       {Bytes({0x00, 0x40, 0x99}), Integer(0), Integer(3), Integer(16)}));
  // Two 8-byte blocks of 16-bit data: one item of 8 floats, L0 R0 L1 R1 ...; with one channel
  // they play one after another as mono frames.
  EXPECT_TRUE(CallBool(player, "AddAudioStereo",
                       {Bytes({0x00, 0x10, 0x00, 0x20, 0x00, 0x30, 0x00, 0x40}),
                        Bytes({0x00, 0x90, 0x00, 0xA0, 0x00, 0xB0, 0x00, 0xC0}), Integer(0),
                        Integer(0), Integer(16)}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200 - 14);

  StartAndStep(player, 1);
  std::vector<float> expected;
  for (const Case &c : cases) expected.push_back(c.expected);
  expected.insert(expected.end(), {0.5f, 0.125f, 0.25f});
  for (int k = 1; k <= 4; ++k) {
    expected.push_back(k * 0x1000 / 65536.0f);
    expected.push_back((0x8000 + k * 0x1000) / 65536.0f);
  }
  for (size_t f = 0; f < expected.size(); ++f) EXPECT_EQ(capture_->at(f, 0), expected[f]) << f;
  EXPECT_EQ(capture_->at(expected.size(), 0), 0.0f);  // the queue ran out inside the cycle

  xnq_hal_step(device_, 1);  // the next cycle finds nothing and stops the device
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
}

TEST_F(PlayerAdd, NilBlocksRaiseFromIntegerAddsAndAreRefusedQuietlyByFloatAdds) {
  Value player = NewPlayer();
  Value block = Bytes({1, 2, 3, 4});
  for (const char *method : {"AddAudio", "PlayAudio"}) {
    CallResult r = Host().call(player, method, {Value::nil()});
    ASSERT_TRUE(r.raised()) << method;
    EXPECT_EQ(r.exception->className, "NilObjectException");
    EXPECT_EQ(r.exception->message, kNilMessage);
    EXPECT_EQ(r.exception->errorNumber, 0);
    EXPECT_FALSE(r.value.asBool());
  }
  for (const auto &args :
       std::vector<std::vector<Value>>{{block, Value::nil()}, {Value::nil(), block}}) {
    std::vector<Value> callArgs = args;
    CallResult r = Host().call(player, "AddAudioStereo", callArgs);
    ASSERT_TRUE(r.raised());
    EXPECT_EQ(r.exception->message, kNilMessage);
    EXPECT_FALSE(r.value.asBool());
  }
  // The nil check comes before the BitSize check: BitSize 23 with a nil block still raises.
  CallResult r23 =
      Host().call(player, "AddAudio", {Value::nil(), Integer(0), Integer(4), Integer(23)});
  EXPECT_TRUE(r23.raised());

  EXPECT_FALSE(CallBool(player, "AddFloatAudio", {Value::nil()}));
  EXPECT_FALSE(CallBool(player, "PlayFloatAudio", {Value::nil()}));
  EXPECT_FALSE(CallBool(player, "AddFloatAudioStereo", {block, Value::nil()}));
  EXPECT_FALSE(CallBool(player, "AddFloatAudioStereo", {Value::nil(), block}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
}

TEST_F(PlayerAdd, BadOffsetsCountsAndBitSizesAreRefusedWithoutAnException) {
  Value player = NewPlayer();
  Value block = Bytes({0, 0, 0, 0, 0, 0, 0, 0});
  auto add = [&](int64_t offset, int64_t count, int64_t bitSize) {
    return CallBool(player, "AddAudio", {block, Integer(offset), Integer(count), Integer(bitSize)});
  };
  EXPECT_FALSE(add(-1, 0, 16));
  EXPECT_FALSE(add(0, -4, 16));
  EXPECT_FALSE(add(0, 1, 16));   // less than one sample
  EXPECT_FALSE(add(8, 0, 16));   // offset at the end: nothing left
  EXPECT_FALSE(add(100, 4, 8));  // offset past the end
  for (int64_t bitSize : {0, 1, 9, 23, 64, -16}) EXPECT_FALSE(add(0, 0, bitSize)) << bitSize;
  EXPECT_FALSE(CallBool(player, "PlayAudio", {block, Integer(0), Integer(0), Integer(23)}));
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  EXPECT_FALSE(CallBool(player, "AddFloatAudio", {block, Integer(-4)}));
  EXPECT_FALSE(CallBool(player, "AddFloatAudio", {block, Integer(0), Integer(3)}));
  EXPECT_FALSE(CallBool(player, "AddFloatAudioStereo", {block, block, Integer(0), Integer(-1)}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);

  // The same block is accepted once every argument is good.
  EXPECT_TRUE(add(6, 100, 16));  // passes the end: clamped to the one sample that remains
  EXPECT_TRUE(CallBool(player, "AddFloatAudio", {block, Integer(4)}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 198);
}

TEST_F(PlayerAdd, IntegerAddsNeedAUsableRateAndOneOrTwoChannelsFloatAddsDoNot) {
  Value player = NewPlayer();
  Value block = Bytes({0, 0, 0, 0});
  auto integerAdds = [&] {
    return CallBool(player, "AddAudio", {block}) ||
           CallBool(player, "AddAudioStereo", {block, block});
  };
  auto floatAdds = [&] {
    return CallBool(player, "AddFloatAudio", {block}) &&
           CallBool(player, "AddFloatAudioStereo", {block, block});
  };
  const float badRates[] = {0.0f, -1.0f, 0.5f, std::numeric_limits<float>::quiet_NaN()};
  for (float rate : badRates) {
    Set(player, "SampleRate", Value::single(rate));
    EXPECT_FALSE(integerAdds()) << rate;
    EXPECT_TRUE(floatAdds()) << rate;
  }
  EXPECT_TRUE(std::isnan(Get(player, "SampleRate").asSingle()));
  Set(player, "SampleRate", Value::single(1.0f));
  EXPECT_TRUE(CallBool(player, "AddAudio", {block}));

  for (int64_t channels : {0, 3, -1}) {
    Set(player, "NumberOfChannels", Integer(channels));
    EXPECT_EQ(Get(player, "NumberOfChannels").asInteger(), channels);
    EXPECT_FALSE(integerAdds()) << channels;
    EXPECT_TRUE(floatAdds()) << channels;
  }
  Set(player, "NumberOfChannels", Integer(2));
  EXPECT_TRUE(CallBool(player, "AddAudioStereo", {block, block}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200 - 2 * 7 - 2);
}

TEST_F(PlayerAdd, TheQueueHoldsTwoHundredBlocksAndClearBuffersMakesRoom) {
  Value player = NewPlayer();
  Value block = Floats({0.25f, 0.5f});
  for (int k = 0; k < 200; ++k) ASSERT_TRUE(CallBool(player, "AddFloatAudio", {block}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 0);
  EXPECT_FALSE(CallBool(player, "HasFreeSpace"));
  EXPECT_FALSE(CallBool(player, "AddFloatAudio", {block}));
  EXPECT_FALSE(CallBool(player, "AddAudio", {Bytes({1, 2})}));
  EXPECT_TRUE(CallBool(player, "AddAudio",
                       {Bytes({1, 2}), Integer(0), Integer(0), Integer(16), Bool(true)}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 199);
  EXPECT_TRUE(CallBool(player, "HasFreeSpace"));
  // Stop and Close empty the queue, on a stopped player as often as they are called.
  Host().call(player, "Stop");
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
  EXPECT_TRUE(CallBool(player, "AddFloatAudio", {block}));
  Host().call(player, "Close");
  Host().call(player, "Close");
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
}

TEST_F(PlayerAdd, StartFailsWithoutADeviceAndOnAMissingOne) {
  Value player = NewPlayer();
  EXPECT_EQ(CallInteger(player, "HardwareNumberOfChannels"), 0);
  CallResult rate = Host().call(player, "HardwareSampleRate", {});
  EXPECT_EQ(rate.value.asSingle(), 0.0f);
  EXPECT_FALSE(CallBool(player, "PlayFloatAudio", {Floats({0.5f})}));
  EXPECT_FALSE(Get(player, "IsRunning").asBool());

  UseDevice(48000, 2);
  Set(player, "OutputDeviceID", Integer(4242));
  EXPECT_EQ(Get(player, "OutputDeviceID").asInteger(), 4242);
  EXPECT_FALSE(CallBool(player, "Start"));
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  Host().call(player, "Stop");  // returns: nothing is running
  EXPECT_EQ(CallInteger(player, "HardwareNumberOfChannels"), 2);
}

TEST_F(PlayerAdd, TheClassShowsItsPropertiesAndMethodsAsDeclared) {
  const xnq::host::ClassInfo *info = Host().findClass("CoreAudioPlayerXNQ");
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(Host().registrationErrors().empty());
  EXPECT_EQ(info->layoutVersion, *HostSettings().version < 2012.0 ? 9 : 13);
#if defined(__i386__)
  EXPECT_EQ(info->dataSize, 1664);
#endif
  const std::vector<std::pair<std::string, bool>> properties = {{"OutputPositionRelative", false},
                                                                {"SampleRate", true},
                                                                {"NumberOfChannels", true},
                                                                {"OutputDeviceID", true},
                                                                {"IsRunning", false},
                                                                {"OutputPosition", false},
                                                                {"NoUnderflow", true},
                                                                {"HadUnderflow", true}};
  ASSERT_EQ(info->properties.size(), properties.size());
  for (size_t k = 0; k < properties.size(); ++k) {
    EXPECT_EQ(info->properties[k].name, properties[k].first);
    EXPECT_EQ(info->properties[k].writable, properties[k].second) << properties[k].first;
  }
  ASSERT_EQ(info->methods.size(), 15u);
  EXPECT_EQ(info->methods[0].params.size(), 5u);
  EXPECT_EQ(info->methods[0].params[3].defaultText.value_or(""), "16");
  EXPECT_EQ(info->methods[14].name, "Start");

  Value player = NewPlayer();
  // The shared fields are lock-free atomics: the host must place the record on their alignment.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Host().instanceData(player)) % alignof(AudioPlayerData),
            0u);
  EXPECT_EQ(Get(player, "SampleRate").asSingle(), 44100.0f);
  EXPECT_EQ(Get(player, "NumberOfChannels").asInteger(), 1);
  EXPECT_EQ(Get(player, "OutputPosition").asDouble(), 0.0);
  EXPECT_TRUE(Host().set(player, "OutputPosition", Value::dbl(5.0)).raised());
  EXPECT_TRUE(Host().set(player, "IsRunning", Value::boolean(true)).raised());
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
}

}  // namespace
}  // namespace player_test

namespace player_test {
namespace {

// A host without the size accessor still takes blocks whose byte count the program gives; only
// the count-0 default, which needs the block's size, is refused.
TEST(PlayerWithoutBlockSizes, ExplicitCountsStillQueueAndPlay) {
  xnq::host::Settings settings;
  settings.removed = {"memoryBlockGetSize"};
  ASSERT_TRUE(Runtime::get().load(XNQ_PLUGIN_PATH, settings)) << Runtime::get().error();
  xnq_hal_reset();
  const AudioDeviceID device = AddSteppedDevice(44100, 1);
  Capture capture(1024);
  xnq_hal_set_output_tap(device, &Capture::Tap, &capture);
  Runtime &rt = Runtime::get();
  {
    Value player = rt.newObject("CoreAudioPlayerXNQ").value;
    Value ints = Bytes({0x00, 0x40, 0x00, 0xC0});
    Value floats = Floats({0.25f, -0.75f});
    auto add = [&](const char *method, std::vector<Value> args) {
      return rt.call(player, method, args).value.asBool();
    };
    EXPECT_FALSE(add("AddAudio", {ints}));
    EXPECT_FALSE(add("AddFloatAudioStereo", {floats, floats}));
    EXPECT_TRUE(add("AddAudio", {ints, Integer(0), Integer(4), Integer(15)}));
    EXPECT_TRUE(add("AddFloatAudio", {floats, Integer(4), Integer(4)}));
    EXPECT_TRUE(add("AddFloatAudioStereo", {floats, floats, Integer(0), Integer(4)}));
    ASSERT_TRUE(add("Start", {}));
    ASSERT_EQ(xnq_hal_step(device, 1), 1u);
    const float expected[] = {0.5f, -0.5f, -0.75f, 0.25f, 0.25f, 0.0f};
    for (size_t f = 0; f < 6; ++f) EXPECT_EQ(capture.at(f, 0), expected[f]) << f;
    xnq_hal_step(device, 1);
  }
  EXPECT_EQ(rt.accountingErrors(), 0);
}

}  // namespace
}  // namespace player_test
