// The graphic EQ at its band centres and flat, and the mixer's volume, pan and meters.
#include <gtest/gtest.h>

#include "unit_harness.h"

namespace xnq::test {
namespace {

// The ISO octave and third-octave centres.
const double kOctaves[] = {31.5, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
const double kThirds[] = {20,   25,   31.5, 40,   50,   63,    80,    100,   125,  160,  200,
                          250,  315,  400,  500,  630,  800,   1000,  1250,  1600, 2000, 2500,
                          3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

TEST(GraphicEq, EveryCentreTakesItsBandsGainAndFlatIsExact) {
  for (int bands : {10, 31}) {
    SCOPED_TRACE(bands);
    UnitHarness eq(kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ);
    ASSERT_EQ(eq.set(kGraphicEQParam_NumberOfBands, bands == 31 ? 1.0f : 0.0f), noErr);
    EXPECT_EQ(eq.set(kGraphicEQParam_NumberOfBands, 0.5f), kAudioUnitErr_InvalidParameter);
    UInt32 size = 0;  // the bands of the layout and the switch
    ASSERT_EQ(
        AudioUnitGetPropertyInfo(eq.unit(), kAudioUnitProperty_ParameterList, 0, 0, &size, nullptr),
        noErr);
    EXPECT_EQ(size, (bands + 1) * sizeof(AudioUnitParameterID));
    EXPECT_EQ(eq.set(10, 0), bands == 10 ? OSStatus{kAudioUnitErr_InvalidParameter} : noErr);
    ASSERT_EQ(eq.initialize(), noErr);
    Signal flat = tone(1, 997, 0.3);
    EXPECT_EQ(eq.render(flat, flat[0].size()), flat);  // all bands at 0 dB

    // A curve with every band away from its neighbours: they must not add at the centres.
    for (int b = 0; b < bands; ++b) ASSERT_EQ(eq.set(b, -20.0f + (b * 13) % 33), noErr);
    for (int b = 0; b < bands; ++b) {
      double hz = bands == 10 ? kOctaves[b] : kThirds[b];
      double settle = std::max(0.1, 40 / hz), span = std::max(0.1, 8 / hz);
      Signal in = tone(1, hz, settle + span);
      Signal out = eq.render(in, in[0].size());
      size_t from = static_cast<size_t>(settle * 44100), count = in[0].size() - from;
      double gain = 20 * std::log10(amplitudeAt(out[0], from, count, hz) /
                                    amplitudeAt(in[0], from, count, hz));
      EXPECT_NEAR(gain, -20.0 + (b * 13) % 33, 0.3) << hz << " Hz";
    }
  }
}

// Inputs 0.25 and 0.5; pan keeps the side it moves to and lowers the other by a quarter cosine.
TEST(MultichannelMixer, VolumeAndPanLaws) {
  struct Case {
    unsigned in, out;
    float volume, pan, outputVolume;
    std::vector<float> expected;
  };
  const float c45 = std::cos(static_cast<float>(M_PI) / 4);
  const Case cases[] = {
      {2, 2, 1, 0, 1, {0.25f, 0.5f}},
      {2, 2, 0.5f, 0, 1, {0.125f, 0.25f}},
      {2, 2, 1, 0.5f, 1, {0.25f * c45, 0.5f}},
      {2, 2, 1, -1, 1, {0.25f, 0}},
      {1, 2, 1, 0, 0.5f, {0.125f, 0.125f}},
      {1, 2, 1, 1, 1, {0, 0.25f}},
      {2, 1, 1, 0.7f, 1, {0.25f}},
      {1, 2, 0.5f, -0.5f, 1, {0.125f, 0.125f * c45}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.in << "->" << c.out << " pan " << c.pan);
    UnitHarness mixer(kAudioUnitType_Mixer, kAudioUnitSubType_MultiChannelMixer, c.out, c.in);
    ASSERT_EQ(mixer.set(kMultiChannelMixerParam_Volume, c.volume, kAudioUnitScope_Input), noErr);
    ASSERT_EQ(mixer.set(kMultiChannelMixerParam_Pan, c.pan, kAudioUnitScope_Input), noErr);
    ASSERT_EQ(mixer.set(kMultiChannelMixerParam_Volume, c.outputVolume, kAudioUnitScope_Output),
              noErr);
    ASSERT_EQ(mixer.initialize(), noErr);
    Signal input = {std::vector<float>(64, 0.25f), std::vector<float>(64, 0.5f)};
    input.resize(c.in);
    Signal out = mixer.render(input, 64);
    for (unsigned d = 0; d < c.out; ++d) EXPECT_NEAR(out[d][63], c.expected[d], 1e-6) << d;
  }
}

TEST(MultichannelMixer, MetersAKnownSinePerChannel) {
  UnitHarness mixer(kAudioUnitType_Mixer, kAudioUnitSubType_MultiChannelMixer, 2);
  ASSERT_EQ(mixer.setProperty(kAudioUnitProperty_MeteringMode, 1, kAudioUnitScope_Input), noErr);
  ASSERT_EQ(mixer.set(kMultiChannelMixerParam_Volume, 0.5f, kAudioUnitScope_Input), noErr);
  ASSERT_EQ(mixer.set(kMultiChannelMixerParam_Volume, 0.5f, kAudioUnitScope_Output), noErr);
  ASSERT_EQ(mixer.initialize(), noErr);
  Signal in = tone(2, 1000, 2.0);
  in[1] = tone(1, 1000, 2.0, 0.25f)[0];
  mixer.render(in, in[0].size());
  // A sine of amplitude A has an average power of A^2 / 2: 0.5 reads -9.03 dB, its peak -6.02.
  struct Reading {
    AudioUnitParameterID id;
    AudioUnitScope scope;
    double db;
  };
  const double half = -6.0206, rms = -3.0103;
  const Reading readings[] = {
      {kMultiChannelMixerParam_PreAveragePower, kAudioUnitScope_Input, half + rms},
      {kMultiChannelMixerParam_PostAveragePower, kAudioUnitScope_Input, 2 * half + rms},
      {kMultiChannelMixerParam_PostAveragePower + 1, kAudioUnitScope_Input, 3 * half + rms},
      {kMultiChannelMixerParam_PrePeakHoldLevel, kAudioUnitScope_Input, half},
      {kMultiChannelMixerParam_PostPeakHoldLevel + 1, kAudioUnitScope_Input, 3 * half},
      {kMultiChannelMixerParam_PreAveragePower + 1, kAudioUnitScope_Output, 3 * half + rms},
      {kMultiChannelMixerParam_PostAveragePower, kAudioUnitScope_Output, 3 * half + rms},
      {kMultiChannelMixerParam_PostPeakHoldLevel + 1, kAudioUnitScope_Output, 4 * half},
  };
  for (const Reading &r : readings)
    EXPECT_NEAR(mixer.get(r.id, r.scope), r.db, 0.1) << r.id << " in scope " << r.scope;
  EXPECT_EQ(mixer.set(kMultiChannelMixerParam_PostAveragePower, -3, kAudioUnitScope_Input),
            kAudioUnitErr_InvalidParameter);  // a measurement, not a setting
}

}  // namespace
}  // namespace xnq::test
