// Playing a loaded file: position and loop, rendered slices, the units' parameters, overwritten
// handles.
#include <limits>

#include "auplayer_test_support.h"

namespace auplayer_test {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

class AUPlayerPlayback : public AUPlayerTest {
 protected:
  // 4 s at 44100 Hz: exactly 44100 frames per second.
  const std::string wav_ = WriteFile("4s.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 4 * 44100);
};

// Sets properties in order: Looping and EnablePeakLocking as Booleans, the others as Doubles.
void SetAll(const Value &player, const std::vector<std::pair<std::string, double>> &values) {
  for (const auto &[p, v] : values) {
    const bool boolean = p == "Looping" || p == "EnablePeakLocking";
    Set(player, p, boolean ? Value::boolean(v != 0) : Value::dbl(v));
  }
}

TEST_F(AUPlayerPlayback, PositionAndLoopPointsConvertAtTheFilesRate) {
  using Steps = std::vector<std::pair<std::string, double>>;
  const struct {
    Steps set, read;
  } cases[] = {
      {{}, {{"CurrentTime", 0}, {"LoopIn", 0}, {"LoopOut", 0}, {"Looping", 0}}},
      {{{"CurrentTime", 2.5}}, {{"CurrentTime", 2.5}}},
      {{{"LoopIn", 2}}, {{"LoopIn", 2}, {"LoopOut", 2}}},
      {{{"LoopIn", 2}, {"LoopOut", 1}}, {{"LoopIn", 2}, {"LoopOut", 2}}},
      {{{"LoopIn", 0}, {"LoopOut", 0}}, {{"LoopIn", 0}, {"LoopOut", 0}}},
      {{{"Looping", 1}}, {{"Looping", 0}}},
      {{{"LoopIn", 1}, {"LoopOut", 3}, {"Looping", 1}}, {{"Looping", 1}, {"LoopOut", 3}}},
      {{{"LoopIn", 5}, {"LoopOut", 9}, {"Looping", 1}}, {{"Looping", 1}, {"LoopIn", 5}}},
      {{{"CurrentTime", kNaN}, {"LoopIn", kInf}}, {{"CurrentTime", 0}, {"LoopIn", 0}}},
      {{{"CurrentTime", -kInf}, {"LoopOut", 1e300}}, {{"CurrentTime", 0}, {"LoopOut", 0}}},
      {{{"CurrentTime", -1}}, {{"CurrentTime", (4294967296.0 - 44100) / 44100}}},
  };
  for (const auto &c : cases) {
    Value player = Loaded(wav_);
    SetAll(player, c.set);
    for (const auto &[property, value] : c.read)
      EXPECT_DOUBLE_EQ(Get(player, property).asDouble(), value) << property << " " << &c - cases;
  }
}

// Rendered slices are the decoded samples, then silence past the end, or the loop-in frame after
// the loop-out frame or a slice before the loop-in frame; Pause and Reset keep the position.
TEST_F(AUPlayerPlayback, SlicesFollowTheEndAndTheLoopSampleForSample) {
  const std::vector<float> decoded = ReadAudio(wav_);
  const struct {
    double start, loopIn, loopOut, after;
    std::vector<std::pair<int64_t, int64_t>> runs;  // (first frame or -1 for silence, frames)
  } cases[] = {{3.99, -1, -1, 4.0, {{4 * 44100 - 441, 441}, {-1, 1024 - 441}}},
               {0.9, 0.5, 1.0, 0.5 + 1024 / 44100.0, {{39690, 9 * 512}, {22050, 1024}}},
               {0.1, 0.5, 1.0, 0.5 + 512 / 44100.0, {{4410, 512}, {22050, 512}}}};
  for (const auto &c : cases) {
    Value player = Loaded(wav_);
    SetAll(player, {{"CurrentTime", c.start}});
    if (c.loopIn >= 0)
      SetAll(player, {{"LoopIn", c.loopIn}, {"LoopOut", c.loopOut}, {"Looping", 1}});
    Host().call(player, "Play");
    EXPECT_TRUE(Get(player, "Playing").asBool());
    int64_t at = 0, mismatches = 0;
    const auto out = Render(player, c.runs[0].second + c.runs[1].second);
    for (auto [first, frames] : c.runs) {
      for (int64_t f = 0; f < frames; ++f, ++at) {
        for (int ch = 0; ch < 2; ++ch)
          mismatches +=
              std::fabs(out[ch][at] - (first < 0 ? 0 : decoded[(first + f) * 2 + ch])) > 1e-6;
      }
    }
    EXPECT_EQ(mismatches, 0) << c.start;
    for (const char *call : {"Pause", "Reset"}) Host().call(player, call);
    EXPECT_EQ(Lasterror(player), 0);
    EXPECT_FALSE(Get(player, "Playing").asBool());
    EXPECT_DOUBLE_EQ(Get(player, "CurrentTime").asDouble(), c.after);
  }
}

float Parameter(AudioUnit unit, AudioUnitParameterID id) {
  float value = -99;
  AudioUnitGetParameter(unit, id, kAudioUnitScope_Global, 0, &value);
  return value;
}

// Both rate units take each value; the time-pitch status is kept; -99: the unit lacks it.
TEST_F(AUPlayerPlayback, RateSettersWriteBothUnitsAndKeepTheTimePitchStatus) {
  const struct {
    const char *property;
    double value;
    AudioUnitParameterID id;
    float timePitch, varispeed;
    bool accepted;
  } cases[] = {
      {"TimeRate", 1.237, 0, 1.23f, 1.23f, true}, {"TimeRate", -0.001, 0, 1, 1, false},
      {"TimeRate", kNaN, 0, 1, 1, false},         {"PitchRate", 300, 1, 300, 300, true},
      {"PitchRate", kInf, 1, 0, 0, false},        {"PitchRate", -1e300, 1, 0, 0, false},
      {"Overlap", 16, 4, 16, -99, true},          {"EnablePeakLocking", 0, 6, 0, -99, true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.property) + " " + std::to_string(c.value));
    Value player = Loaded(wav_);
    SetAll(player, {{c.property, c.value}});
    EXPECT_EQ(Lasterror(player) == 0, c.accepted);
    EXPECT_EQ(Parameter(Unit(player, "TimePitchHandle"), c.id), c.timePitch);
    EXPECT_EQ(Parameter(Unit(player, "VariSpeedHandle"), c.id), c.varispeed);
    EXPECT_EQ(Get(player, c.property).asDouble(), c.timePitch);
  }
}

// Level in dB, and upward crossings of zero per second, of a tone past its first slices.
double LevelDb(const std::vector<float> &s) {
  double sum = 0;
  for (size_t i = 8192; i < s.size(); ++i) sum += double{s[i]} * s[i];
  return 10 * std::log10(sum / static_cast<double>(s.size() - 8192));
}
double Frequency(const std::vector<float> &s) {
  int crossings = 0;
  for (size_t i = 8192; i < s.size(); ++i) crossings += s[i - 1] < 0 && s[i] >= 0;
  return crossings * 44100.0 / static_cast<double>(s.size() - 8192);
}

// A band's gain at its centre, +1200 cents on either rate unit, the bands' arrays, the mixer.
TEST_F(AUPlayerPlayback, TheEqualizerRateUnitsAndMixerShapeWhatIsRendered) {
  const std::string tone = WriteFile("1k.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 88200, 1000);
  const double flat = LevelDb(Render(Loaded(tone), 16384)[0]);
  for (double gain : {12.0, -12.0}) {
    Value player = Loaded(tone);
    std::vector<double> bands(31, 0.0);
    bands[17] = gain;  // the 1 kHz band, through the Double and the Single overload
    Value array = gain > 0 ? Host().newDoubleArray(bands)
                           : Host().newSingleArray(std::vector<float>(bands.begin(), bands.end()));
    EXPECT_EQ(Raised(Host().call(player, "updateEQ", {array})), "");
    EXPECT_NEAR(LevelDb(Render(player, 16384)[0]) - flat, gain, 0.5);
  }
  for (int64_t unit : {1, 2}) {
    Value player = Loaded(tone);
    Set(player, "TimePitchUnit", Value::integer(unit));
    SetAll(player, {{"PitchRate", 1200}});
    EXPECT_NEAR(Frequency(Render(player, 16384)[0]), 2000, 40) << unit;
  }
  EXPECT_EQ(Raised(Host().call(NewPlayer(), "updateEQ", {Value::nil()})),
            "NilObjectException: eqBands is nil!");
  Value player = Loaded(tone);
  std::vector<double> forty(40, 3.0);
  forty[30] = kNaN;
  for (const auto &bands : {std::vector<double>{}, forty})
    EXPECT_EQ(Raised(Host().call(player, "updateEQ", {Host().newDoubleArray(bands)})), "");
  EXPECT_EQ(Parameter(Unit(player, "EqualizerHandle"), 29), 3.0f);
  SetAll(player, {{"OutputVolume", 0.25}, {"Pan", -1}});
  Host().call(player, "Play");
  Render(player, 16384);
  EXPECT_NEAR(Get(player, "MeterLevel").asDouble(), -15, 2);  // a 0.25 sine, before the volume
  // The switch reads true for a whole nonzero unit value only; peak locking above a half.
  AudioUnit mixer = Unit(player, "MixerHandle"), timePitch = Unit(player, "TimePitchHandle");
  for (Float32 value : {1.0f, 0.6f, 0.5f, 0.0f}) {
    ASSERT_EQ(AudioUnitSetParameter(mixer, kMultiChannelMixerParam_Enable, kAudioUnitScope_Input, 0,
                                    value, 0),
              noErr);
    ASSERT_EQ(AudioUnitSetParameter(timePitch, kNewTimePitchParam_EnablePeakLocking,
                                    kAudioUnitScope_Global, 0, value, 0),
              noErr);
    EXPECT_EQ(Host().call(player, "InputEnabled", {Value::uint32(0)}).value.asBool(), value == 1);
    EXPECT_EQ(Get(player, "EnablePeakLocking").asBool(), value > 0.5f) << value;
  }
  Host().assign(player, "InputEnabled", {Value::uint32(0)}, Value::boolean(true));
  EXPECT_TRUE(Host().call(player, "InputEnabled", {Value::uint32(0)}).value.asBool());
  EXPECT_EQ(Host().call(player, "InputVolume", {Value::uint32(1)}).value.asDouble(), 0);
  EXPECT_NE(Lasterror(player), 0);
}

// Calls with no file loaded, or on overwritten handles, fail with the platform's status (Play,
// Pause and Reset without a graph or units make no call and leave -1); the built graph still goes.
TEST_F(AUPlayerPlayback, CallsWithoutAFileOrOnOverwrittenHandlesFailWithoutHarm) {
  for (int64_t handle : {-1, 0, 0x5A5A5A50}) {  // -1: no file loaded
    Value player = handle < 0 ? NewPlayer() : Loaded(wav_);
    Host().call(player, "Play");
    for (const char *h : {"GraphHandle", "MixerHandle", "TimePitchHandle", "VariSpeedHandle",
                          "OutputHandle", "EqualizerHandle", "ConverterHandle"})
      if (handle >= 0) Set(player, h, Value::integer(handle));
    for (const char *call : {"Play", "Pause", "Reset"}) {
      Host().call(player, call);
      EXPECT_EQ(Lasterror(player) == -1, handle <= 0) << call << " " << handle;
      EXPECT_NE(Lasterror(player), 0) << call << " " << handle;
    }
    EXPECT_FALSE(Get(player, "Playing").asBool());
    EXPECT_EQ(Get(player, "OutputVolume").asDouble(), 0);
    EXPECT_NE(Lasterror(player), 0);
    EXPECT_TRUE(Host().call(player, "ChannelMap").value.isNil());
  }
}

}  // namespace
}  // namespace auplayer_test
