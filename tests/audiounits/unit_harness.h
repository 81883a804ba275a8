// A platform unit fed from a render callback and rendered in slices, and measurements.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "os/audio_unit.h"

namespace xnq::test {

using Signal = std::vector<std::vector<float>>;  // per channel

inline Signal tone(unsigned channels, double hz, double seconds, float amplitude = 0.5f,
                   double rate = 44100) {
  Signal s(channels, std::vector<float>(static_cast<size_t>(seconds * rate)));
  for (auto &channel : s)
    for (size_t i = 0; i < channel.size(); ++i)
      channel[i] = amplitude * static_cast<float>(std::sin(2 * M_PI * hz * i / rate));
  return s;
}

class UnitHarness {
 public:
  // The units' own format at the rate; inputChannels 0: as many as the output's.
  UnitHarness(OSType type, OSType subType, unsigned channels = 1, unsigned inputChannels = 0,
              double rate = 44100);
  ~UnitHarness() { CloseComponent(unit_); }
  AudioUnit unit() const { return unit_; }
  OSStatus set(AudioUnitParameterID id, Float32 value, AudioUnitScope scope = 0,
               AudioUnitElement element = 0) {
    return AudioUnitSetParameter(unit_, id, scope, element, value, 0);
  }
  Float32 get(AudioUnitParameterID id, AudioUnitScope scope = 0, AudioUnitElement element = 0) {
    Float32 value = NAN;
    EXPECT_EQ(AudioUnitGetParameter(unit_, id, scope, element, &value), noErr);
    return value;
  }
  OSStatus setProperty(AudioUnitPropertyID id, UInt32 value, AudioUnitScope scope = 0) {
    return AudioUnitSetProperty(unit_, id, scope, 0, &value, sizeof value);
  }
  OSStatus initialize() { return AudioUnitInitialize(unit_); }
  // Renders frames from input (then silence); between runs before each slice.
  Signal render(const Signal &input, size_t frames, UInt32 slice = 512,
                void (*between)(UnitHarness &, size_t done) = nullptr);

  // Called while the unit pulls; the lock-probe test swaps this in.
  void (*onPull)(UnitHarness &) = nullptr;

 private:
  static OSStatus feed(void *, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32, UInt32,
                       AudioBufferList *);
  AudioUnit unit_ = nullptr;
  unsigned channels_;
  const Signal *input_ = nullptr;
  size_t position_ = 0;
};

// The amplitude of a frequency in samples[from, from + count), through a Hann window.
double amplitudeAt(const std::vector<float> &samples, size_t from, size_t count, double hz,
                   double rate = 44100);
// The frequency of a steady tone in a span, from its zero crossings.
double frequencyOf(const std::vector<float> &samples, size_t from, size_t count,
                   double rate = 44100);
// How many frames late out follows in played at rate (out frame k is in frame k * rate), to a
// frame, by the best match of their power envelopes within +-limit frames.
double timeMapOffset(const std::vector<float> &out, const std::vector<float> &in, double rate,
                     int limit = 120);

}  // namespace xnq::test
