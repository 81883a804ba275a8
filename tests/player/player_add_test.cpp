// Adding blocks to CoreAudioPlayerXNQ as a host program does: every sample format's values as
// they come out of the device, the checks each add makes in their order, and the queue's limit.
#include <cmath>
#include <limits>
#include <random>

#include "player_test_support.h"

namespace player_test {
namespace {

// One sample of each BitSize, read as the format says, one byte at a time.
float Reference(int bitSize, const uint8_t *p) {
  auto le = [&](int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
  };
  switch (bitSize) {
    case 7:
      return static_cast<int8_t>(p[0]) / 128.0f;
    case 8:
      return p[0] / 256.0f;
    case 15:
      return static_cast<int16_t>(le(2)) / 32768.0f;
    case 16:
      return le(2) / 65536.0f;
    case 24:
      return static_cast<float>(p[0] << 16 | p[1] << 8 | p[2]) * 0x1p-24f;
    case 31:
      return static_cast<float>(static_cast<int32_t>(le(4))) * 0x1p-31f;
    default:
      return static_cast<float>(le(4)) * 0x1p-32f;
  }
}

class PlayerAdd : public PlayerTest {};

// Blocks long enough for the vectorised loops, mono and as left and right blocks, starting with
// the values at the ends of each range: every float equals the one-sample reading.
TEST_F(PlayerAdd, EveryBitSizeConvertsEachSampleAsItsFormatSays) {
  constexpr size_t kSamples = 1001;
  UseDevice(44100, 2, 2048);
  Value player = NewPlayer();
  std::mt19937 random(11);
  const std::vector<uint8_t> edges = {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0x80, 0x00, 0x00, 0x80, 0x7F, 0xFF, 0xFF, 0x7F};
  size_t frame = 0;
  for (const int bitSize : {7, 8, 15, 16, 24, 31, 32}) {
    for (const int channels : {1, 2}) {
      SCOPED_TRACE(testing::Message() << "BitSize " << bitSize << ", channels " << channels);
      const size_t width = bitSize == 24 ? 3 : (bitSize + 1) / 8;
      std::vector<uint8_t> left(kSamples * width), right(left.size());
      for (size_t k = 0; k < left.size(); ++k) {
        left[k] = k < edges.size() ? edges[k] : static_cast<uint8_t>(random());
        right[k] = static_cast<uint8_t>(random());
      }
      Set(player, "NumberOfChannels", Int(channels));
      const std::vector<Value> counts = {Int(0), Int(0), Int(bitSize)};
      ASSERT_TRUE(
          channels == 1
              ? CallBool(player, "PlayAudio", {Bytes(left), counts[0], counts[1], counts[2]})
              : CallBool(player, "PlayAudioStereo",
                         {Bytes(left), Bytes(right), counts[0], counts[1], counts[2]}));
      ASSERT_EQ(Step(), 1u);
      for (size_t k = 0; k < kSamples; ++k) {
        ASSERT_EQ(capture_->at(frame + k, 0), Reference(bitSize, &left[k * width])) << k;
        const float second = channels == 1 ? Reference(bitSize, &left[k * width])
                                           : Reference(bitSize, &right[k * width]);
        ASSERT_EQ(capture_->at(frame + k, 1), second) << k;
      }
      frame += 2048;
      Step();  // the queue ran dry: the device stops
      frame += 2048;
      ASSERT_FALSE(Get(player, "IsRunning").asBool());
    }
  }
  // Unsigned samples keep no offset; 24-bit is read most significant byte first.
  EXPECT_EQ(Reference(8, std::vector<uint8_t>{0x80}.data()), 0.5f);
  EXPECT_EQ(Reference(24, std::vector<uint8_t>{0x00, 0x00, 0x80}.data()), 0x1p-17f);
  EXPECT_EQ(Reference(32, std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}.data()), 1.0f);
}

// The checks come in their order: a nil block first (integer adds raise, float adds are refused
// quietly), then offset and count, then BitSize; each refusal leaves the queue as it was.
TEST_F(PlayerAdd, RefusedAddsRaiseOnlyForNilIntegerBlocksAndQueueNothing) {
  Value player = NewPlayer();
  Value block = Bytes({0, 0, 0, 0, 0, 0, 0, 0});
  const struct {
    const char *method;
    std::vector<Value> args;
    bool raises;
  } refused[] = {
      {"AddAudio", {Value()}, true},
      {"AddAudioStereo", {block, Value()}, true},
      {"AddAudio", {Value(), Int(0), Int(4), Int(23)}, true},
      {"AddFloatAudio", {Value()}, false},
      {"AddFloatAudioStereo", {block, Value()}, false},
      {"AddAudio", {block, Int(-1)}, false},
      {"AddAudio", {block, Int(0), Int(-4)}, false},
      {"AddAudio", {block, Int(0), Int(1)}, false},  // less than one sample
      {"AddAudio", {block, Int(8)}, false},          // nothing after the offset
      {"AddAudio", {block, Int(100), Int(4), Int(8)}, false},
      {"PlayAudio", {block, Int(0), Int(0), Int(23)}, false},
      {"AddFloatAudio", {block, Int(0), Int(3)}, false},
      {"AddFloatAudioStereo", {block, block, Int(0), Int(-1)}, false},
  };
  for (const auto &r : refused) {
    std::vector<Value> args = r.args;
    CallResult result = Host().call(player, r.method, args);
    EXPECT_FALSE(result.value.asBool()) << r.method;
    ASSERT_EQ(result.raised(), r.raises) << r.method;
    if (r.raises) {
      EXPECT_EQ(result.exception->className, "NilObjectException");
      EXPECT_EQ(result.exception->message, "Memoryblock is nil");
      EXPECT_EQ(result.exception->errorNumber, 0);
    }
  }
  for (int64_t bitSize : {0, 1, 9, 23, 64, -16}) {
    EXPECT_FALSE(CallBool(player, "AddAudio", {block, Int(0), Int(0), Int(bitSize)}));
  }
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
  // Integer adds need a rate of at least 1 and one or two channels; float adds need neither.
  const struct {
    float rate;
    int64_t channels;
  } formats[] = {{0.0f, 1}, {0.5f, 1}, {std::nanf(""), 1}, {44100, 0}, {44100, 3}};
  for (const auto &f : formats) {
    Set(player, "SampleRate", Value::single(f.rate));
    Set(player, "NumberOfChannels", Int(f.channels));
    EXPECT_EQ(Get(player, "NumberOfChannels").asInteger(), f.channels);
    EXPECT_FALSE(CallBool(player, "AddAudio", {block}) ||
                 CallBool(player, "AddAudioStereo", {block, block}))
        << f.rate << " " << f.channels;
    EXPECT_TRUE(CallBool(player, "AddFloatAudio", {block}) &&
                CallBool(player, "AddFloatAudioStereo", {block, block}));
  }
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 200 - 2 * 5);
}

TEST_F(PlayerAdd, TheQueueHoldsTwoHundredBlocksAndClearBuffersMakesRoom) {
  Value player = NewPlayer();
  Value block = Floats({0.25f, 0.5f});
  for (int k = 0; k < 200; ++k) ASSERT_TRUE(CallBool(player, "AddFloatAudio", {block}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 0);
  EXPECT_FALSE(CallBool(player, "HasFreeSpace"));
  EXPECT_FALSE(CallBool(player, "AddFloatAudio", {block}));
  EXPECT_FALSE(CallBool(player, "AddAudio", {Bytes({1, 2})}));
  EXPECT_TRUE(CallBool(player, "AddAudio", {Bytes({1, 2}), Int(0), Int(0), Int(16), Bool(true)}));
  EXPECT_EQ(CallInteger(player, "FreeSpace"), 199);
  // Stop and Close empty the queue of a stopped player, as often as they are called.
  for (const char *method : {"Stop", "Close", "Close"}) {
    EXPECT_TRUE(CallBool(player, "AddFloatAudio", {block}));
    Host().call(player, method);
    EXPECT_EQ(CallInteger(player, "FreeSpace"), 200);
  }
}

// The properties the player alone writes are read-only to the program; without any device, or
// with a device that does not exist, nothing starts and the hardware queries answer 0.
TEST_F(PlayerAdd, ReadOnlyPropertiesAndStartsWithoutADevice) {
  Value player = NewPlayer();
  for (const char *property : {"OutputPositionRelative", "IsRunning", "OutputPosition"}) {
    EXPECT_TRUE(Host().set(player, property, Value::integer(1)).raised()) << property;
  }
  EXPECT_EQ(CallInteger(player, "HardwareNumberOfChannels"), 0);
  EXPECT_EQ(Host().call(player, "HardwareSampleRate").value.asSingle(), 0.0f);
  EXPECT_FALSE(CallBool(player, "PlayFloatAudio", {Floats({0.5f})}));
  UseDevice(48000, 2);
  Set(player, "OutputDeviceID", Int(4242));  // no such device
  EXPECT_FALSE(CallBool(player, "Start"));
  EXPECT_FALSE(Get(player, "IsRunning").asBool());
}

// A host without the size accessor still takes blocks whose byte count the program gives; only
// the count-0 default, which needs the block's size, is refused.
TEST(PlayerWithoutBlockSizes, ExplicitCountsStillQueueAndPlay) {
  xnq::host::Settings settings;
  settings.removed = {"memoryBlockGetSize"};
  ASSERT_TRUE(Runtime::get().load(XNQ_PLUGIN_PATH, settings)) << Runtime::get().error();
  xnq_hal_reset();
  const AudioDeviceID device = AddDevice(44100, 1);
  Capture capture(1024);
  xnq_hal_set_output_tap(device, &Capture::Tap, &capture);
  {
    Value player = Host().newObject("CoreAudioPlayerXNQ").value;
    Value ints = Bytes({0x00, 0x40, 0x00, 0xC0});
    Value floats = Floats({0.25f, -0.75f});
    EXPECT_FALSE(CallBool(player, "AddAudio", {ints}));
    EXPECT_FALSE(CallBool(player, "AddFloatAudioStereo", {floats, floats}));
    EXPECT_TRUE(CallBool(player, "AddAudio", {ints, Int(0), Int(4), Int(15)}));
    EXPECT_TRUE(CallBool(player, "AddFloatAudio", {floats, Int(4), Int(4)}));
    EXPECT_TRUE(CallBool(player, "AddFloatAudioStereo", {floats, floats, Int(0), Int(4)}));
    ASSERT_TRUE(CallBool(player, "Start"));
    ASSERT_EQ(xnq_hal_step(device, 1), 1u);
    const float expected[] = {0.5f, -0.5f, -0.75f, 0.25f, 0.25f, 0.0f};
    for (size_t f = 0; f < 6; ++f) EXPECT_EQ(capture.at(f), expected[f]) << f;
    xnq_hal_reset();
  }
  EXPECT_EQ(Host().accountingErrors(), 0);
}

}  // namespace
}  // namespace player_test
