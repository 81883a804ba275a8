// The Sound Manager's mixer driven as an output device drives it: sources mixed, clipped,
// completed and resampled; stop, pause and the blocks it refuses.
#include "os/sound_manager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Block {
  std::vector<Byte> bytes;
  SoundComponentData desc;
  SoundParamBlock pb{};
  int completions = 0;
  Block(UnsignedFixed rate, short channels, std::vector<Byte> b) : bytes(std::move(b)) {
    desc = {
        0, kTwosComplement, channels, 16, rate, long(bytes.size()) / (2 * channels), bytes.data(),
        0};
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

TEST_F(MixerTest, MixesClipsAndCompletes) {
  Block quiet(0xAC440000u, 1, {0, 0, 0x03, 0xE8, 0x07, 0xD0, 0x0B, 0xB8, 0, 0});
  Block loud(0xAC440000u, 2, {0x7F, 0xFF, 0, 0, 0x7F, 0xFF, 0, 0});
  Play(quiet);
  Play(loud);
  EXPECT_EQ(Pull(), (std::vector<int>{32767, 32767, 2000, 3000, 0, 0, 0, 0}));
  EXPECT_EQ(quiet.completions + loud.completions, 2);
  EXPECT_EQ(Pull(), std::vector<int>(8, 0));  // both ran dry: silence
}

// A 1 kHz tone taken from 22050 Hz to 44100 Hz keeps its level and leaves no image at 21050 Hz
// (interpolating between its samples leaves one at -46 dB).
TEST_F(MixerTest, ResamplesWithoutImages) {
  std::vector<Byte> bytes;
  for (int f = 0; f < 11025; ++f) {
    auto q = static_cast<int16_t>(std::lround(16384 * std::sin(2 * M_PI * 1000 * f / 22050.0)));
    bytes.insert(bytes.end(), {Byte(q >> 8), Byte(q)});
  }
  Block tone(0x56220000u, 1, bytes);
  Play(tone);
  std::vector<int> left;
  while (left.size() < 18000) {
    std::vector<int> more = Pull();
    left.insert(left.end(), more.begin(), more.end());
  }
  auto db = [&](double hz) {  // the amplitude at hz over 16000 frames, through a Hann window
    double re = 0, im = 0;
    for (int n = 0; n < 16000; ++n) {
      double w = (1 - std::cos(2 * M_PI * n / 16000)) / 2 * left[2000 + n] / 32768 / 4000;
      re += w * std::cos(2 * M_PI * hz * n / 44100);
      im += w * std::sin(2 * M_PI * hz * n / 44100);
    }
    return 20 * std::log10(std::hypot(re, im));
  };
  EXPECT_NEAR(db(1000), -6.02, 0.05);
  EXPECT_LT(db(21050), -100);
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
  // Nor one that steps up by more than 64: at 44100 Hz the least rate 16.16 holds, 1 Hz, 10 Hz
  // and 689 Hz are refused, 690 Hz plays.
  Block low(0, 2, block.bytes);
  for (UnsignedFixed rate : {0x1u, 0x10000u, 0xA0000u, 0x2B10000u, 0x2B20000u}) {
    low.desc.sampleRate = rate;
    EXPECT_EQ(SoundComponentPlaySourceBuffer(mixer, source, &low.pb, kSourcePaused),
              rate == 0x2B20000u ? ComponentResult{noErr} : siInvalidSampleRate);
  }
  EXPECT_EQ(SoundComponentPlaySourceBuffer(mixer, nullptr, &block.pb, 0), badChannel);
  EXPECT_EQ(SoundComponentStartSource(mixer, 1, nullptr), paramErr);
  ComponentResult last = noErr;
  for (int i = 0; i < 100 && last == noErr; ++i)
    last = SoundComponentPlaySourceBuffer(mixer, source, &block.pb, kSourcePaused);
  EXPECT_EQ(last, notEnoughBufferSpace);
}

}  // namespace
