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

// The gain in dB that a tone of 0.5 at hz takes through the unit, once the filters have settled
// (the slowest, the lowest band's, falls by e in about one period of its centre).
double gainThrough(UnitHarness &eq, double hz, double rate) {
  double settle = std::max(0.05, 12 / hz), span = std::max(0.05, 6 / hz);
  Signal in = tone(1, hz, settle + span, 0.5f, rate);
  EXPECT_EQ(AudioUnitReset(eq.unit(), kAudioUnitScope_Global, 0), noErr);
  Signal out = eq.render(in, in[0].size());
  size_t from = static_cast<size_t>(settle * rate), count = in[0].size() - from;
  return 20 * std::log10(amplitudeAt(out[0], from, count, hz, rate) / 0.5);
}

// An EQ of the layout at the rate with the gains set, initialized.
void setUp(UnitHarness &eq, int bands, const std::vector<float> &gains) {
  ASSERT_EQ(eq.set(kGraphicEQParam_NumberOfBands, bands == 31 ? 1.0f : 0.0f), noErr);
  for (int b = 0; b < bands; ++b) ASSERT_EQ(eq.set(b, gains[b]), noErr);
  ASSERT_EQ(eq.initialize(), noErr);
}

TEST(GraphicEq, LayoutsOfferTheirBandsAndFlatIsExact) {
  for (int bands : {10, 31}) {
    SCOPED_TRACE(bands);
    UnitHarness eq(kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ);
    EXPECT_EQ(eq.set(kGraphicEQParam_NumberOfBands, 0.5f), kAudioUnitErr_InvalidParameter);
    setUp(eq, bands, std::vector<float>(31, 0.0f));
    UInt32 size = 0;  // the bands of the layout and the switch
    ASSERT_EQ(
        AudioUnitGetPropertyInfo(eq.unit(), kAudioUnitProperty_ParameterList, 0, 0, &size, nullptr),
        noErr);
    EXPECT_EQ(size, (bands + 1) * sizeof(AudioUnitParameterID));
    EXPECT_EQ(eq.set(10, 0), bands == 10 ? OSStatus{kAudioUnitErr_InvalidParameter} : noErr);
    Signal flat = tone(1, 997, 0.3);
    EXPECT_EQ(eq.render(flat, flat[0].size()), flat);  // all bands at 0 dB
  }
}

// At the usual rates each band's centre takes the band's gain, whether the band is set alone or
// within a curve whose neighbours reach into its centre; between centres the response follows
// the gains on a log-frequency axis within a decibel, for an even curve and a smile.
TEST(GraphicEq, CentresTakeTheirBandsGainsAndTheCurveBetweenIsSmooth) {
  enum Curve { kApart, kAlone, kEven, kSmile };
  struct Case {
    int bands;
    double rate;
    Curve curve;
    int band = 0;  // kAlone: the band set to gain
    float gain = 0;
  } cases[] = {{10, 44100, kApart},       {31, 44100, kApart},         {31, 48000, kApart},
               {31, 96000, kApart},       {31, 44100, kAlone, 0, -20}, {31, 48000, kAlone, 0, -12},
               {31, 96000, kAlone, 1, 6}, {31, 96000, kAlone, 1, -12}, {31, 44100, kAlone, 30, 12},
               {31, 44100, kEven},        {31, 44100, kSmile}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.bands << " bands at " << c.rate << ", curve " << c.curve);
    UnitHarness eq(kAudioUnitType_Effect, kAudioUnitSubType_GraphicEQ, 1, 0, c.rate);
    std::vector<float> gains(31);
    for (int b = 0; b < c.bands; ++b)
      gains[b] = c.curve == kApart   ? -20.0f + (b * 13) % 33
                 : c.curve == kAlone ? (b == c.band ? c.gain : 0.0f)
                 : c.curve == kEven  ? 6.0f
                                     : 9.0f * (b - 15) * (b - 15) / 225 - 3;
    setUp(eq, c.bands, gains);
    const double *centres = c.bands == 10 ? kOctaves : kThirds;
    for (int b = 0; b < c.bands; ++b) {
      if (c.curve >= kEven && b + 1 < c.bands) {
        double hz = std::sqrt(centres[b] * centres[b + 1]);
        EXPECT_NEAR(gainThrough(eq, hz, c.rate), (gains[b] + gains[b + 1]) / 2, 1.0) << hz << " Hz";
      } else if (c.curve < kEven && (c.curve == kApart || std::abs(b - c.band) <= 1)) {
        EXPECT_NEAR(gainThrough(eq, centres[b], c.rate), gains[b], 0.1) << centres[b] << " Hz";
      }
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
