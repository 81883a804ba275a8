// The units that change rate or format: the time-pitch and varispeed units (the length and pitch
// of what they render, their identity, smooth changes while they render) and the converter unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "unit_harness.h"

namespace xnq::test {
namespace {

// 440 Hz from 0.1 s to 0.7 s and from 0.9 s to 1.0 s: energy centres 0.55 s apart, gap at 0.8 s.
constexpr double kGap = 0.8, kApart = 0.55;
Signal bursts() {
  Signal s = tone(1, 440, 1.2);
  for (size_t i = 0; i < s[0].size(); ++i)
    if (double t = i / 44100.0; t < 0.1 || (t >= 0.7 && t < 0.9) || t >= 1.0) s[0][i] = 0;
  return s;
}

TEST(RateUnits, LengthAndPitchFollowTheParameters) {
  struct Case {
    OSType subType;
    AudioUnitParameterID id;
    Float32 value;
    double length, frequency;  // of the output over the input's
    UInt32 slice;              // also the maximum: larger ones than the engines are fed
  };
  const Case cases[] = {
      {kAudioUnitSubType_NewTimePitch, kNewTimePitchParam_Pitch, 1200, 1, 2, 512},
      {kAudioUnitSubType_NewTimePitch, kNewTimePitchParam_Rate, 0.5f, 2, 1, 4096},
      {kAudioUnitSubType_TimePitch, kTimePitchParam_Pitch, 700, 1, 1.4983070768766815, 512},
      {kAudioUnitSubType_Varispeed, kVarispeedParam_PlaybackRate, 2, 0.5, 2, 4096},
      {kAudioUnitSubType_Varispeed, kVarispeedParam_PlaybackCents, -1200, 2, 0.5, 512},
  };
  Signal in = bursts();
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.subType << " parameter " << c.id << " = " << c.value);
    UnitHarness unit(kAudioUnitType_FormatConverter, c.subType);
    ASSERT_EQ(unit.set(c.id, c.value), noErr);
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_MaximumFramesPerSlice, c.slice), noErr);
    ASSERT_EQ(unit.initialize(), noErr);
    Signal out = unit.render(in, static_cast<size_t>(in[0].size() * c.length) + 8192, c.slice);
    size_t gap = static_cast<size_t>(kGap * 44100 * c.length);
    double apart = energyCentre(out[0], gap, out[0].size()) - energyCentre(out[0], 0, gap);
    // Within 0.5 % for a change of rate; a pitch shift alone keeps it within its window's smear.
    EXPECT_NEAR(apart / (kApart * 44100), c.length, (c.length == 1 ? 0.03 : 0.005) * c.length);
    size_t middle = static_cast<size_t>(0.25 * 44100 * c.length);
    double hz = frequencyOf(out[0], middle, static_cast<size_t>(0.35 * 44100 * c.length));
    EXPECT_NEAR(1200 * std::log2(hz / 440 / c.frequency), 0, 2) << hz << " Hz";
  }
  // The varispeed's two parameters are one setting.
  UnitHarness varispeed(kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed);
  ASSERT_EQ(varispeed.set(kVarispeedParam_PlaybackCents, 1200), noErr);
  EXPECT_FLOAT_EQ(varispeed.get(kVarispeedParam_PlaybackRate), 2);
  ASSERT_EQ(varispeed.set(kVarispeedParam_PlaybackRate, 0.5f), noErr);
  EXPECT_NEAR(varispeed.get(kVarispeedParam_PlaybackCents), -1200, 1e-3);
}

// Three sines faded in and out over 512 frames, read at input frame t of a signal of n frames.
double fadedChord(double t, double n) {
  if (t <= 0 || t >= n) return 0;
  double fade = 0.5 - 0.5 * std::cos(M_PI * std::min({1.0, t / 512, (n - t) / 512}));
  return fade * (0.2 * std::sin(2 * M_PI * 311 * t / 44100) +
                 0.15 * std::sin(2 * M_PI * 1234.5 * t / 44100) +
                 0.1 * std::sin(2 * M_PI * 3001 * t / 44100));
}

// The varispeed's output frame k is its input read at frame k times the rate, from the input's
// first frame to its last: no delay at the start, nothing lost at the end.
TEST(RateUnits, VarispeedOutputIsTheInputReadOnItsTimeMap) {
  const size_t n = 22050;
  Signal in(1, std::vector<float>(n));
  for (size_t i = 0; i < n; ++i) in[0][i] = static_cast<float>(fadedChord(i, n));
  for (float rate : {1.5f, 0.75f, 2.0f, 0.3f}) {
    UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed);
    ASSERT_EQ(unit.set(kVarispeedParam_PlaybackRate, rate), noErr);
    ASSERT_EQ(unit.initialize(), noErr);
    Signal out = unit.render(in, static_cast<size_t>(n / rate) + 512);
    double worst = 0;
    for (size_t k = 0; k < out[0].size(); ++k)
      worst = std::max(worst, std::fabs(out[0][k] - fadedChord(k * static_cast<double>(rate), n)));
    EXPECT_LT(worst, 1e-4) << "rate " << rate;
  }
}

// 3 s of noise in bursts of 45 to 320 ms with 5 ms edges: its envelope carries a time map.
Signal gatedNoise() {
  Signal s(1, std::vector<float>(3 * 44100));
  std::mt19937 random(9);
  std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
  for (size_t at = 2000, on = 1; at < s[0].size(); on ^= 1) {
    size_t length = 2000 + random() % 12000;
    for (size_t i = 0; on && i < length && at + i < s[0].size(); ++i)
      s[0][at + i] = std::min({1.0f, i / 220.0f, (length - i) / 220.0f}) * noise(random);
    at += length;
  }
  return s;
}

// At render quality 127 the time-pitch unit's output keeps to its input's time map within a
// millisecond, from its first frame on, at any rate and pitch.
TEST(RateUnits, TimePitchOutputKeepsToTheInputsTimeMap) {
  const std::pair<float, float> cases[] = {{1.25f, 300}, {0.8f, 0}, {1, -700}, {2, 0}};
  Signal in = gatedNoise();
  for (auto [rate, cents] : cases) {
    UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch);
    ASSERT_EQ(unit.set(kNewTimePitchParam_Rate, rate), noErr);
    ASSERT_EQ(unit.set(kNewTimePitchParam_Pitch, cents), noErr);
    ASSERT_EQ(unit.initialize(), noErr);
    Signal out = unit.render(in, static_cast<size_t>(in[0].size() / rate));
    EXPECT_LE(std::fabs(timeMapOffset(out[0], in[0], rate)), 44) << rate << ", " << cents;
  }
}

// Offline the stretcher runs on a worker thread ahead of the render thread; what comes out is
// what the render thread alone makes live, sample for sample, with either engine.
TEST(RateUnits, OfflineTimePitchRendersWhatLiveRenders) {
  Signal in = gatedNoise();
  in.push_back(tone(1, 440, 3)[0]);
  for (UInt32 quality : {127u, 64u}) {
    Signal out[2];
    for (UInt32 offline : {0u, 1u}) {
      UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch, 2);
      ASSERT_EQ(unit.set(kNewTimePitchParam_Rate, 1.25f), noErr);
      ASSERT_EQ(unit.set(kNewTimePitchParam_Pitch, 300), noErr);
      ASSERT_EQ(unit.setProperty(kAudioUnitProperty_RenderQuality, quality), noErr);
      ASSERT_EQ(unit.setProperty(kAudioUnitProperty_OfflineRender, offline), noErr);
      ASSERT_EQ(unit.initialize(), noErr);
      out[offline] = unit.render(in, 2 * 44100);
    }
    EXPECT_TRUE(out[0] == out[1]) << quality;
  }
}

// The power left once the tone at hz is taken out of samples[from, from + count), in dB below
// the tone.
double belowTone(const std::vector<float> &samples, double hz, size_t from, size_t count) {
  double a = amplitudeAt(samples, from, count, hz), power = 0, window = 0;
  for (size_t i = 0; i < count; ++i) {
    double w = 0.5 - 0.5 * std::cos(2 * M_PI * i / count);
    power += w * samples[from + i] * samples[from + i];
    window += w;
  }
  return 10 * std::log10(std::max(power / window - a * a / 2, 1e-30) / (a * a / 2));
}

// Render quality picks the engine, as heard: above 64 the finer engine keeps a steady tone
// pure a fifth down; at 64 and below the faster engine's phase vocoder lets it warble. Set
// before initialize or after, as the file player does.
TEST(RateUnits, RenderQualityPicksTheEngine) {
  struct Case {
    UInt32 quality;
    bool afterInitialize, finer;
  };
  const Case cases[] = {{127, false, true}, {96, true, true}, {64, true, false}, {0, false, false}};
  Signal in = tone(1, 440, 3);
  for (const Case &c : cases) {
    UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch);
    ASSERT_EQ(unit.set(kNewTimePitchParam_Pitch, -700), noErr);
    auto setQuality = [&] {
      EXPECT_EQ(unit.setProperty(kAudioUnitProperty_RenderQuality, c.quality), noErr);
    };
    if (!c.afterInitialize) setQuality();
    ASSERT_EQ(unit.initialize(), noErr);
    if (c.afterInitialize) setQuality();
    Signal out = unit.render(in, in[0].size());
    double residual = belowTone(out[0], 440 * std::exp2(-700 / 1200.0), 22050, 88200);
    if (c.finer)
      EXPECT_LT(residual, -60) << c.quality;
    else
      EXPECT_GT(residual, -45) << c.quality;
  }
}

// Away from identity and back while rendering a tone: no jump, no gap, then the input again.
TEST(RateUnits, LeaveAndReturnToIdentityWithoutAGapOrAJump) {
  for (OSType subType : {kAudioUnitSubType_NewTimePitch, kAudioUnitSubType_Varispeed}) {
    SCOPED_TRACE(subType);
    UnitHarness unit(kAudioUnitType_FormatConverter, subType);
    ASSERT_EQ(unit.initialize(), noErr);
    Signal in = tone(1, 440, 6);
    Signal out = unit.render(in, 3 * 44100, 512, [](UnitHarness &u, size_t done) {
      bool away = done >= 22050 && done < 66150;
      u.set(0, away ? 1.25f : 1.0f);                          // rate, on both units
      u.set(kNewTimePitchParam_Pitch, away ? 300.0f : 0.0f);  // refused by the varispeed
    });
    float jump = 0;
    size_t quiet = 0, longestQuiet = 0;
    for (size_t i = 1; i < out[0].size(); ++i) {
      jump = std::max(jump, std::fabs(out[0][i] - out[0][i - 1]));
      quiet = std::fabs(out[0][i]) < 0.02f ? quiet + 1 : 0;
      longestQuiet = std::max(longestQuiet, quiet);
    }
    EXPECT_LT(jump, 0.08f);  // a 0.5 tone at 440 Hz moves up to 0.031 a sample, 0.04 at 550 Hz
    EXPECT_LT(longestQuiet, 32u);  // under a millisecond: a zero crossing, not a gap
    std::vector<float> tail(out[0].end() - 2048, out[0].end());
    EXPECT_NE(std::search(in[0].begin(), in[0].end(), tail.begin(), tail.end()), in[0].end());
  }
}

// Moved away from identity while another thread renders; the flag leaves the ordering to the unit.
TEST(RateUnits, AnEngineMadeWhileAnotherThreadRendersTakesOver) {
  static std::atomic<bool> moved{false};
  UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed);
  ASSERT_EQ(unit.initialize(), noErr);
  Signal in = tone(1, 440, 2), out;
  std::thread renderer([&] {
    out = unit.render(in, 44100, 512, [](UnitHarness &, size_t done) {
      while (done >= 22050 && !moved.load(std::memory_order_relaxed)) std::this_thread::yield();
    });
  });
  EXPECT_EQ(unit.set(kVarispeedParam_PlaybackRate, 1.25f), noErr);
  moved.store(true, std::memory_order_relaxed);
  renderer.join();
  EXPECT_NEAR(frequencyOf(out[0], 33075, 11025), 550, 0.5);
}

// A 1 kHz tone at 48 kHz as interleaved signed 16-bit stereo, half of full scale.
OSStatus shortTone(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                   UInt32 frames, AudioBufferList *ioData) {
  auto *position = static_cast<size_t *>(refCon);
  auto *out = static_cast<int16_t *>(ioData->mBuffers[0].mData);
  for (UInt32 i = 0; i < frames; ++i, ++*position)
    out[2 * i] = out[2 * i + 1] =
        static_cast<int16_t>(16384 * std::sin(2 * M_PI * 1000 * *position / 48000.0));
  return noErr;
}

TEST(ConverterUnit, TurnsAnyPcmIntoItsOutputFormat) {
  UnitHarness same(kAudioUnitType_FormatConverter, kAudioUnitSubType_AUConverter, 2);
  ASSERT_EQ(same.initialize(), noErr);
  Signal in = tone(2, 440, 0.1);
  EXPECT_EQ(same.render(in, in[0].size()), in);  // the same format on both sides: a copy

  UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_AUConverter, 2);
  const UInt32 flags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  AudioStreamBasicDescription format{48000, kAudioFormatLinearPCM, flags, 4, 1, 4, 2, 16, 0};
  AudioStreamBasicDescription compressed = format;
  compressed.mFormatID = XNQ_FOURCC('a', 'a', 'c', ' ');
  EXPECT_EQ(AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_StreamFormat,
                                 kAudioUnitScope_Input, 0, &compressed, sizeof compressed),
            kAudioUnitErr_FormatNotSupported);
  ASSERT_EQ(AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_StreamFormat,
                                 kAudioUnitScope_Input, 0, &format, sizeof format),
            noErr);
  size_t position = 0;
  AURenderCallbackStruct callback{shortTone, &position};
  ASSERT_EQ(AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_SetRenderCallback,
                                 kAudioUnitScope_Input, 0, &callback, sizeof callback),
            noErr);
  ASSERT_EQ(unit.initialize(), noErr);
  Signal out = unit.render({}, 22050);
  for (const auto &channel : out) {
    EXPECT_NEAR(frequencyOf(channel, 4410, 17640), 1000, 0.05);
    EXPECT_NEAR(amplitudeAt(channel, 4410, 17640, 1000), 0.5, 0.001);
  }
}

}  // namespace
}  // namespace xnq::test
