// The units that change rate or format: the time-pitch and varispeed units (the time map and pitch
// of what they render, their engines, their identity, smooth changes while they render) and the
// converter unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "unit_harness.h"

namespace xnq::test {
namespace {

// Three sines faded in and out over 512 frames, read at input frame t of a signal of n frames.
double fadedChord(double t, double n) {
  if (t <= 0 || t >= n) return 0;
  double fade = 0.5 - 0.5 * std::cos(M_PI * std::min({1.0, t / 512, (n - t) / 512}));
  return fade * (0.2 * std::sin(2 * M_PI * 311 * t / 44100) +
                 0.15 * std::sin(2 * M_PI * 1234.5 * t / 44100) +
                 0.1 * std::sin(2 * M_PI * 3001 * t / 44100));
}

// The varispeed's output frame k is its input read at frame k times the rate, from the input's
// first frame to its last: no delay at the start, nothing lost at the end. The rate is set as a
// rate or in cents (one setting seen two ways), in slices up to four times the engine's chunk.
TEST(RateUnits, VarispeedOutputIsTheInputReadOnItsTimeMap) {
  struct Case {
    AudioUnitParameterID id;
    Float32 value;
    double rate;
    UInt32 slice;
  } cases[] = {{kVarispeedParam_PlaybackRate, 1.5f, 1.5, 512},
               {kVarispeedParam_PlaybackRate, 0.75f, 0.75, 4096},
               {kVarispeedParam_PlaybackCents, 1200, 2, 4096},
               {kVarispeedParam_PlaybackCents, -1200, 0.5, 512},
               {kVarispeedParam_PlaybackRate, 0.3f, 0.3, 512}};
  const size_t n = 22050;
  Signal in(1, std::vector<float>(n));
  for (size_t i = 0; i < n; ++i) in[0][i] = static_cast<float>(fadedChord(i, n));
  for (const Case &c : cases) {
    UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed);
    ASSERT_EQ(unit.set(c.id, c.value), noErr);
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_MaximumFramesPerSlice, c.slice), noErr);
    ASSERT_EQ(unit.initialize(), noErr);
    double rate = unit.get(kVarispeedParam_PlaybackRate);
    EXPECT_NEAR(rate, c.rate, 1e-6);
    Signal out = unit.render(in, static_cast<size_t>(n / rate) + 512, c.slice);
    double worst = 0;
    for (size_t k = 0; k < out[0].size(); ++k)
      worst = std::max(worst, std::fabs(out[0][k] - fadedChord(k * rate, n)));
    EXPECT_LT(worst, 1e-4) << "rate " << rate;
  }
}

// 2 s of noise in bursts of 45 to 320 ms with 5 ms edges (its envelope carries a time map), and
// a steady 440 Hz tone of 0.5.
Signal noiseAndTone() {
  Signal s = tone(2, 440, 2);
  std::mt19937 random(9);
  std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
  for (size_t at = 0, on = 0; at < s[0].size(); on ^= 1) {
    size_t length = 2000 + random() % 12000;
    for (size_t i = 0; i < length && at + i < s[0].size(); ++i)
      s[0][at + i] = on ? std::min({1.0f, i / 220.0f, (length - i) / 220.0f}) * noise(random) : 0;
    at += length;
  }
  return s;
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

// Both time-pitch units, render quality set before or after initialize, slices up to 4096:
// quality picks the engine, as heard (above 64 the finer one keeps the tone pure at its new
// pitch, the faster one's phase vocoder lets it warble); with the finer engine the output keeps
// to the input's time map within a millisecond from its first frame; and offline, the stretcher
// on a worker thread, the output is what the render thread alone makes live, to the sample.
TEST(RateUnits, TimePitchKeepsToTheTimeMapAndPitchAtEitherEngineLiveAndOffline) {
  struct Case {
    OSType subType;
    float rate, cents;
    UInt32 quality;
    bool afterInitialize;
    UInt32 slice;
  } cases[] = {{kAudioUnitSubType_NewTimePitch, 1.25f, 300, 127, false, 512},
               {kAudioUnitSubType_NewTimePitch, 0.8f, 0, 96, true, 4096},
               {kAudioUnitSubType_NewTimePitch, 1, -700, 127, true, 512},
               {kAudioUnitSubType_NewTimePitch, 2, 0, 127, false, 512},
               {kAudioUnitSubType_TimePitch, 1, 700, 127, false, 512},
               {kAudioUnitSubType_NewTimePitch, 1, -700, 64, true, 512},
               {kAudioUnitSubType_NewTimePitch, 2, 0, 0, false, 4096}};
  Signal in = noiseAndTone();
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.subType << " " << c.rate << ", " << c.cents << " cents, "
                                    << "quality " << c.quality);
    Signal out[2];
    for (UInt32 offline : {0u, 1u}) {
      UnitHarness unit(kAudioUnitType_FormatConverter, c.subType, 2);
      ASSERT_EQ(unit.set(kNewTimePitchParam_Rate, c.rate) |
                    unit.set(kNewTimePitchParam_Pitch, c.cents) |
                    unit.setProperty(kAudioUnitProperty_MaximumFramesPerSlice, c.slice) |
                    unit.setProperty(kAudioUnitProperty_OfflineRender, offline),
                noErr);
      auto setQuality = [&] {
        EXPECT_EQ(unit.setProperty(kAudioUnitProperty_RenderQuality, c.quality), noErr);
      };
      if (!c.afterInitialize) setQuality();
      ASSERT_EQ(unit.initialize(), noErr);
      if (c.afterInitialize) setQuality();
      out[offline] = unit.render(in, static_cast<size_t>(in[0].size() / c.rate), c.slice);
    }
    EXPECT_TRUE(out[0] == out[1]);
    size_t length = out[0][1].size();
    double hz = 440 * std::exp2(c.cents / 1200);
    EXPECT_GT(amplitudeAt(out[0][1], length / 6, length / 2, hz), 0.4);
    double residual = belowTone(out[0][1], hz, length / 6, length / 2);
    if (c.quality > 64) {
      EXPECT_LT(residual, -50);
      EXPECT_LE(std::fabs(timeMapOffset(out[0][0], in[0], c.rate)), 44);
    } else {
      EXPECT_GT(residual, -45);
    }
  }
}

// Stream rates far from the usual: the time-pitch unit works at any (its stretcher takes the
// nearest rate it is made for); the varispeed converts rates up to 8 times apart and refuses more.
TEST(RateUnits, OddStreamRatesWorkOrAreRefused) {
  struct Case {
    OSType subType;
    UInt32 quality;
    Float64 in, out;
    OSStatus status;
  } cases[] = {{kAudioUnitSubType_NewTimePitch, 64, 100, 100, noErr},
               {kAudioUnitSubType_NewTimePitch, 127, 3e9, 3e9, noErr},
               {kAudioUnitSubType_Varispeed, 127, 8000, 64000, noErr},
               {kAudioUnitSubType_Varispeed, 127, 1e9, 1, kAudioUnitErr_FormatNotSupported}};
  for (const Case &c : cases) {
    UnitHarness unit(kAudioUnitType_FormatConverter, c.subType, 1, 0, c.out);
    ASSERT_EQ(AudioUnitSetProperty(unit.unit(), kAudioUnitProperty_SampleRate,
                                   kAudioUnitScope_Input, 0, &c.in, sizeof c.in) |
                  unit.set(0, 1.25f) |
                  unit.setProperty(kAudioUnitProperty_RenderQuality, c.quality),
              noErr);
    EXPECT_EQ(unit.initialize(), c.status) << c.in << " to " << c.out;
    if (c.status == noErr) {
      EXPECT_NEAR(unit.render(tone(1, 100, 1), 8192)[0][8191], 0, 1);
    }
  }
}

// Away from identity and back while rendering a tone: no jump or kink, no gap, then the input
// again.
TEST(RateUnits, LeaveAndReturnToIdentityWithoutAGapOrAJump) {
  const std::pair<OSType, UInt32> cases[] = {{kAudioUnitSubType_NewTimePitch, 0},
                                             {kAudioUnitSubType_NewTimePitch, 1},  // offline
                                             {kAudioUnitSubType_Varispeed, 0}};
  for (auto [subType, offline] : cases) {
    SCOPED_TRACE(testing::Message() << subType << (offline ? " offline" : ""));
    UnitHarness unit(kAudioUnitType_FormatConverter, subType);
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_OfflineRender, offline), noErr);
    // Offline, from a source slower than the stretcher (as one that decodes), which the worker
    // would otherwise outrun.
    if (offline)
      unit.onPull = [](UnitHarness &) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      };
    ASSERT_EQ(unit.initialize(), noErr);
    Signal in = tone(1, 440, 6);
    Signal out = unit.render(in, 3 * 44100, 512, [](UnitHarness &u, size_t done) {
      bool away = done >= 22050 && done < 66150;
      u.set(0, away ? 1.25f : 1.0f);                          // rate, on both units
      u.set(kNewTimePitchParam_Pitch, away ? 300.0f : 0.0f);  // refused by the varispeed
    });
    float bend = 0;
    size_t quiet = 0, longestQuiet = 0;
    for (size_t i = 1; i + 1 < out[0].size(); ++i) {
      bend = std::max(bend, std::fabs(out[0][i + 1] - 2 * out[0][i] + out[0][i - 1]));
      quiet = std::fabs(out[0][i]) < 0.02f ? quiet + 1 : 0;
      longestQuiet = std::max(longestQuiet, quiet);
    }
    // A 0.5 tone's slope changes by up to 0.0022 a sample at 440 Hz, 0.0031 at 523 or 550 Hz (a
    // little more where two overlap in a crossfade); a jump or a kink changes it by far more.
    EXPECT_LT(bend, 0.012f);
    EXPECT_LT(longestQuiet, 32u);  // under a millisecond: a zero crossing, not a gap
    std::vector<float> tail(out[0].end() - 2048, out[0].end());
    EXPECT_NE(std::search(in[0].begin(), in[0].end(), tail.begin(), tail.end()), in[0].end());
  }
}

// Engines made on this thread while another renders: the first, made when the rate moves away
// from identity, takes over at once (the flag leaves the ordering to the unit); then each change
// of render quality makes another, which takes over at the next reset (each drops the input read
// ahead). None is freed while the render thread holds it, and the sound goes on.
TEST(RateUnits, EnginesMadeWhileAnotherThreadRendersTakeOverAndAreFreedOnlyWhenLetGo) {
  static std::atomic<bool> moved{false};
  UnitHarness unit(kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch);
  ASSERT_EQ(unit.initialize(), noErr);
  Signal in = tone(1, 440, 6), out;
  std::atomic<bool> rendering{true};
  std::thread renderer([&] {
    out = unit.render(in, 66150, 512, [](UnitHarness &u, size_t done) {
      while (done >= 11025 && !moved.load(std::memory_order_relaxed)) std::this_thread::yield();
      if (done >= 22050 && done < 44100 && done % 4096 == 0)
        AudioUnitReset(u.unit(), kAudioUnitScope_Global, 0);
    });
    rendering = false;
  });
  EXPECT_EQ(unit.set(kNewTimePitchParam_Pitch, 1200), noErr);
  moved.store(true, std::memory_order_relaxed);
  for (UInt32 quality = 0; rendering; quality = (quality + 61) % 128)
    EXPECT_EQ(unit.setProperty(kAudioUnitProperty_RenderQuality, quality), noErr);
  renderer.join();
  EXPECT_NEAR(frequencyOf(out[0], 14000, 6000), 880, 1);
  EXPECT_GT(amplitudeAt(out[0], 55000, 4410, 880), 0.3);
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
