// The time-pitch and varispeed units: the length and pitch of what they render, their identity,
// and smooth changes while they render.
#include <gtest/gtest.h>

#include <algorithm>

#include "unit_harness.h"

namespace xnq::test {
namespace {

// A 440 Hz tone from 0.2 s to 1.2 s and again from 1.7 s to 1.9 s, in 2.2 s: their energy
// centres are 1.1 s apart, with the gap between them at 1.45 s.
constexpr double kGap = 1.45, kApart = 1.1;
Signal bursts() {
  Signal s = tone(1, 440, 2.2);
  for (size_t i = 0; i < s[0].size(); ++i) {
    double t = i / 44100.0;
    if (t < 0.2 || (t >= 1.2 && t < 1.7) || t >= 1.9) s[0][i] = 0;
  }
  return s;
}

TEST(RateUnits, LengthAndPitchFollowTheParameters) {
  struct Case {
    OSType subType;
    AudioUnitParameterID id;
    Float32 value;
    double length, frequency;  // of the output over the input's
  };
  const Case cases[] = {
      {kAudioUnitSubType_NewTimePitch, kNewTimePitchParam_Pitch, 1200, 1, 2},
      {kAudioUnitSubType_NewTimePitch, kNewTimePitchParam_Rate, 0.5f, 2, 1},
      {kAudioUnitSubType_TimePitch, kTimePitchParam_Pitch, 700, 1, 1.4983070768766815},
      {kAudioUnitSubType_Varispeed, kVarispeedParam_PlaybackRate, 2, 0.5, 2},
      {kAudioUnitSubType_Varispeed, kVarispeedParam_PlaybackCents, -1200, 2, 0.5},
  };
  Signal in = bursts();
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.subType << " parameter " << c.id << " = " << c.value);
    UnitHarness unit(kAudioUnitType_FormatConverter, c.subType);
    ASSERT_EQ(unit.set(c.id, c.value), noErr);
    ASSERT_EQ(unit.initialize(), noErr);
    Signal out = unit.render(in, static_cast<size_t>(in[0].size() * c.length) + 8192);
    size_t gap = static_cast<size_t>(kGap * 44100 * c.length);
    double apart = energyCentre(out[0], gap, out[0].size()) - energyCentre(out[0], 0, gap);
    EXPECT_NEAR(apart / (kApart * 44100), c.length, 0.005 * c.length);
    size_t middle = static_cast<size_t>(0.45 * 44100 * c.length);
    double hz = frequencyOf(out[0], middle, static_cast<size_t>(0.5 * 44100 * c.length));
    EXPECT_NEAR(1200 * std::log2(hz / 440 / c.frequency), 0, 2) << hz << " Hz";
  }
  // The varispeed's two parameters are one setting.
  UnitHarness varispeed(kAudioUnitType_FormatConverter, kAudioUnitSubType_Varispeed);
  ASSERT_EQ(varispeed.set(kVarispeedParam_PlaybackCents, 1200), noErr);
  EXPECT_FLOAT_EQ(varispeed.get(kVarispeedParam_PlaybackRate), 2);
  ASSERT_EQ(varispeed.set(kVarispeedParam_PlaybackRate, 0.5f), noErr);
  EXPECT_NEAR(varispeed.get(kVarispeedParam_PlaybackCents), -1200, 1e-3);
}

// Pitch and rate move away from identity and back while the unit renders a steady tone: no
// sample jumps further than the tone itself moves, nothing falls silent, and once back at
// identity the output is the input again, sample for sample.
TEST(RateUnits, LeaveAndReturnToIdentityWithoutAGapOrAJump) {
  for (OSType subType : {kAudioUnitSubType_NewTimePitch, kAudioUnitSubType_Varispeed}) {
    SCOPED_TRACE(subType);
    UnitHarness unit(kAudioUnitType_FormatConverter, subType);
    ASSERT_EQ(unit.initialize(), noErr);
    Signal in = tone(1, 440, 6);
    Signal out = unit.render(in, 3 * 44100, 512, [](UnitHarness &u, size_t done) {
      bool away = done >= 22050 && done < 66150;
      u.set(0, away ? 1.25f : 1.0f);  // rate, on both units
      if (u.set(kNewTimePitchParam_Pitch, away ? 300.0f : 0.0f) != noErr) return;
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
    EXPECT_EQ(in[0][0], 0.0f);
  }
}

}  // namespace
}  // namespace xnq::test
