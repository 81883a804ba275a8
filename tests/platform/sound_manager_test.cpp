// The Sound Manager's mixer driven as an output device drives it: sources mixed, resampled,
// clipped and completed; stop, pause and the blocks it refuses.
#include "os/sound_manager.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Block {
  std::vector<Byte> bytes;
  SoundComponentData desc;
  SoundParamBlock pb{};
  int completions = 0;
  Block(UnsignedFixed rate, short channels, std::vector<Byte> b)
      : bytes(std::move(b)), desc{0,
                                  kTwosComplement,
                                  channels,
                                  16,
                                  rate,
                                  long(bytes.size()) / (2 * channels),
                                  bytes.data(),
                                  0} {
    pb.desc = &desc;
    pb.refCon = reinterpret_cast<long>(this);
    pb.completionRtn = [](SoundParamBlockPtr *p) -> Boolean {
      return ++reinterpret_cast<Block *>((*p)->refCon)->completions;
    };
  }
};

struct MixerTest : ::testing::Test {
  void SetUp() override {
    SoundComponentData out{0, kTwosComplement, 2, 16, 0xAC440000u, 8, nullptr, 0};
    ASSERT_EQ(OpenMixerSoundComponent(&out, 0, &mixer), noErr);
  }
  void TearDown() override { EXPECT_EQ(CloseMixerSoundComponent(mixer), noErr); }
  SoundSource Play(Block &block, long actions = 0) {
    SoundSource source = nullptr;
    EXPECT_EQ(SoundComponentAddSource(mixer, &source), noErr);
    EXPECT_EQ(SoundComponentPlaySourceBuffer(mixer, source, &block.pb, actions), noErr);
    return source;
  }
  // The left channel of the next buffer, as 16-bit values.
  std::vector<int> Pull() {
    SoundComponentDataPtr data = nullptr;
    EXPECT_EQ(SoundComponentGetSourceData(mixer, &data), noErr);
    std::vector<int> left;
    for (long f = 0; f < data->sampleCount; ++f)
      left.push_back(static_cast<int16_t>(data->buffer[4 * f] << 8 | data->buffer[4 * f + 1]));
    return left;
  }
  ComponentInstance mixer = nullptr;
};

TEST_F(MixerTest, MixesResamplesClipsAndCompletes) {
  // Half rate: every output frame between two source frames is their mean.
  Block slow(0x56220000u, 1, {0, 0, 0x03, 0xE8, 0x07, 0xD0, 0x0B, 0xB8, 0, 0});
  Block loud(0xAC440000u, 2, {0x7F, 0xFF, 0, 0, 0x7F, 0xFF, 0, 0});
  Play(slow);
  Play(loud);
  EXPECT_EQ(Pull(), (std::vector<int>{32767, 32767, 1000, 1500, 2000, 2500, 3000, 1500}));
  EXPECT_EQ(loud.completions, 1);
  EXPECT_EQ(Pull(), std::vector<int>(8, 0));  // both ran dry: silence
  EXPECT_EQ(slow.completions, 1);
}

TEST_F(MixerTest, StopDropsPauseKeepsAndBadBlocksAreRefused) {
  Block block(0xAC440000u, 2, std::vector<Byte>(4 * 20, 0x10));
  SoundSource source = Play(block, kSourcePaused);
  EXPECT_EQ(Pull(), std::vector<int>(8, 0));
  ASSERT_EQ(SoundComponentStartSource(mixer, 1, &source), noErr);
  EXPECT_EQ(Pull(), std::vector<int>(8, 0x1010));
  ASSERT_EQ(SoundComponentStopSource(mixer, 1, &source), noErr);
  ASSERT_EQ(SoundComponentStartSource(mixer, 1, &source), noErr);
  EXPECT_EQ(Pull(), std::vector<int>(8, 0));
  EXPECT_EQ(block.completions, 0);

  Block noFormat(0xAC440000u, 2, block.bytes), noRate(0xAC440000u, 2, block.bytes);
  noFormat.desc.format = XNQ_FOURCC('u', 'l', 'a', 'w');
  noRate.pb.rateMultiplier = 0x7FFF0000u;  // more than the resampler steps over
  EXPECT_EQ(SoundComponentPlaySourceBuffer(mixer, source, &noFormat.pb, 0), badFormat);
  EXPECT_EQ(SoundComponentPlaySourceBuffer(mixer, source, &noRate.pb, 0), siInvalidSampleRate);
  EXPECT_EQ(SoundComponentPlaySourceBuffer(mixer, nullptr, &block.pb, 0), badChannel);
  EXPECT_EQ(SoundComponentStartSource(mixer, 1, nullptr), paramErr);
  ComponentResult last = noErr;
  for (int i = 0; i < 100 && last == noErr; ++i)
    last = SoundComponentPlaySourceBuffer(mixer, source, &block.pb, kSourcePaused);
  EXPECT_EQ(last, notEnoughBufferSpace);
}

}  // namespace
