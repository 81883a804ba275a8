// The Sound Manager's mixer driven as an output device drives it: blocks of every accepted
// format played, mixed, resampled and completed; stop, pause and the blocks it refuses.
#include "os/sound_manager.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct MixerFixture : ::testing::Test {
  void SetUp() override {
    SoundComponentData out{0, kTwosComplement, 2, 16, 0xAC440000u, 8, nullptr, 0};
    ASSERT_EQ(OpenMixerSoundComponent(&out, 0, &mixer), noErr);
  }
  void TearDown() override { EXPECT_EQ(CloseMixerSoundComponent(mixer), noErr); }

  SoundSource AddSource() {
    SoundSource source = nullptr;
    EXPECT_EQ(SoundComponentAddSource(mixer, &source), noErr);
    return source;
  }
  // The next buffer as left, right pairs of 16-bit values.
  std::vector<int> Pull() {
    SoundComponentDataPtr data = nullptr;
    EXPECT_EQ(SoundComponentGetSourceData(mixer, &data), noErr);
    std::vector<int> values;
    for (long i = 0; i < data->sampleCount * 2; ++i)
      values.push_back(static_cast<int16_t>(data->buffer[2 * i] << 8 | data->buffer[2 * i + 1]));
    return values;
  }

  ComponentInstance mixer = nullptr;
};

struct Block {
  std::vector<Byte> bytes;
  SoundComponentData desc;
  SoundParamBlock pb{};
  int completions = 0;
  Block(OSType format, short channels, short bits, UnsignedFixed rate, std::vector<Byte> b)
      : bytes(std::move(b)), desc{0,
                                  format,
                                  channels,
                                  bits,
                                  rate,
                                  long(bytes.size() / (channels * bits / 8)),
                                  bytes.data(),
                                  0} {
    pb.desc = &desc;
    pb.refCon = reinterpret_cast<long>(this);
    pb.completionRtn = [](SoundParamBlockPtr *p) -> Boolean {
      ++reinterpret_cast<Block *>((*p)->refCon)->completions;
      return true;
    };
  }
};

constexpr UnsignedFixed k44100 = 0xAC440000u, k22050 = 0x56220000u;

TEST_F(MixerFixture, PlaysEveryFormatOnBothChannels) {
  const struct {
    OSType format;
    short channels, bits;
    std::vector<Byte> bytes;
    std::vector<int> expected;  // left, right of the first two frames
  } rows[] = {
      {kOffsetBinary, 1, 8, {0xC0, 0x40}, {16384, 16384, -16384, -16384}},
      {kTwosComplement, 1, 8, {0x40, 0xC0}, {16384, 16384, -16384, -16384}},
      {kTwosComplement,
       2,
       16,
       {0x12, 0x34, 0x80, 0x00, 0x7F, 0xFF, 0, 1},
       {0x1234, -32768, 32767, 1}},
      {k16BitLittleEndianFormat,
       2,
       16,
       {0x34, 0x12, 0, 0x80, 0xFF, 0x7F, 1, 0},
       {0x1234, -32768, 32767, 1}},
  };
  for (const auto &row : rows) {
    SoundSource source = AddSource();
    Block block(row.format, row.channels, row.bits, k44100, row.bytes);
    ASSERT_EQ(SoundComponentPlaySourceBuffer(mixer, source, &block.pb, 0), noErr);
    std::vector<int> got = Pull();
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 4), row.expected) << row.format;
    EXPECT_EQ(std::vector<int>(got.begin() + 4, got.end()), std::vector<int>(12, 0));
    EXPECT_EQ(block.completions, 1);
    EXPECT_EQ(SoundComponentRemoveSource(mixer, source), noErr);
  }
}

TEST_F(MixerFixture, MixesSourcesResamplesAndClips) {
  SoundSource a = AddSource(), b = AddSource();
  // Half rate: every output frame between two source frames is their mean.
  Block slow(kTwosComplement, 1, 16, k22050, {0, 0, 0x03, 0xE8, 0x07, 0xD0, 0x0B, 0xB8, 0, 0});
  Block loud(kTwosComplement, 1, 16, k44100, {0x7F, 0xFF, 0x7F, 0xFF});
  ASSERT_EQ(SoundComponentPlaySourceBuffer(mixer, a, &slow.pb, 0), noErr);
  ASSERT_EQ(SoundComponentPlaySourceBuffer(mixer, b, &loud.pb, 0), noErr);
  std::vector<int> got = Pull();
  const int left[] = {32767, 32767, 1000, 1500, 2000, 2500, 3000, 1500};
  for (int f = 0; f < 8; ++f) EXPECT_EQ(got[2 * f], left[f]) << f;
  EXPECT_EQ(loud.completions, 1);
  EXPECT_EQ(Pull(), std::vector<int>(16, 0));  // both ran dry: silence
}

TEST_F(MixerFixture, StopDropsPauseKeepsAndBadBlocksAreRefused) {
  SoundSource source = AddSource();
  Block block(kTwosComplement, 2, 16, k44100, std::vector<Byte>(4 * 20, 0x10));
  ASSERT_EQ(SoundComponentPlaySourceBuffer(mixer, source, &block.pb, kSourcePaused), noErr);
  EXPECT_EQ(Pull(), std::vector<int>(16, 0));
  ASSERT_EQ(SoundComponentStartSource(mixer, 1, &source), noErr);
  EXPECT_EQ(Pull(), std::vector<int>(16, 0x1010));
  ASSERT_EQ(SoundComponentStopSource(mixer, 1, &source), noErr);
  ASSERT_EQ(SoundComponentStartSource(mixer, 1, &source), noErr);
  EXPECT_EQ(Pull(), std::vector<int>(16, 0));
  EXPECT_EQ(block.completions, 0);

  Block bad = block;
  bad.pb.desc = &bad.desc;
  const struct {
    void (*change)(Block &);
    ComponentResult result;
  } rows[] = {{[](Block &b) { b.pb.desc = nullptr; }, paramErr},
              {[](Block &b) { b.desc.buffer = nullptr; }, paramErr},
              {[](Block &b) { b.desc.sampleSize = 24; }, siInvalidSampleSize},
              {[](Block &b) { b.desc.format = XNQ_FOURCC('u', 'l', 'a', 'w'); }, badFormat},
              {[](Block &b) { b.desc.numChannels = 3; }, badFormat},
              {[](Block &b) { b.desc.sampleRate = 0; }, siInvalidSampleRate},
              {[](Block &b) { b.desc.sampleRate = 0xFFFF0000u, b.pb.rateMultiplier = 0x7FFF0000u; },
               siInvalidSampleRate}};
  for (const auto &row : rows) {
    Block changed = bad;
    changed.pb.desc = &changed.desc;
    row.change(changed);
    EXPECT_EQ(SoundComponentPlaySourceBuffer(mixer, source, &changed.pb, 0), row.result);
  }
  EXPECT_EQ(SoundComponentPlaySourceBuffer(mixer, nullptr, &block.pb, 0), badChannel);
  EXPECT_EQ(SoundComponentStartSource(mixer, 1, nullptr), paramErr);
  ComponentResult last = noErr;
  for (int i = 0; i < 100 && last == noErr; ++i)
    last = SoundComponentPlaySourceBuffer(mixer, source, &block.pb, kSourcePaused);
  EXPECT_EQ(last, notEnoughBufferSpace);
}

}  // namespace
