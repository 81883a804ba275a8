// The graphic EQ unit: 10 octave or 31 third-octave bands, band i's gain in dB as parameter i.
// The filters are worked out on the render thread when it sees that a gain changed (no
// allocation: the design works in fixed arrays), so a change from a host thread takes effect
// from the next slice without a lock.
#include <cmath>
#include <new>

#include "audiounit/effect_unit.h"
#include "audiounit/unit_factories.h"
#include "dsp/biquad_cascade.h"

namespace xnq::au {
namespace {

constexpr AudioUnitParameterID kBandCount = kGraphicEQParam_NumberOfBands;

std::vector<ParameterDefinition> eqParameters() {
  static const char *const kNames[dsp::kMaxEqBands] = {
      "20Hz",  "25Hz",   "31.5Hz",  "40Hz",   "50Hz",    "63Hz",   "80Hz",    "100Hz",
      "125Hz", "160Hz",  "200Hz",   "250Hz",  "315Hz",   "400Hz",  "500Hz",   "630Hz",
      "800Hz", "1kHz",   "1.25kHz", "1.6kHz", "2kHz",    "2.5kHz", "3.15kHz", "4kHz",
      "5kHz",  "6.3kHz", "8kHz",    "10kHz",  "12.5kHz", "16kHz",  "20kHz"};
  std::vector<ParameterDefinition> list;
  for (AudioUnitParameterID band = 0; band < dsp::kMaxEqBands; ++band)
    list.push_back({kAudioUnitScope_Global, band, kNames[band], kAudioUnitParameterUnit_Decibels,
                    -20.0f, 12.0f, 0.0f});
  // 0 selects the 10-band layout, 1 the 31-band layout.
  list.push_back({kAudioUnitScope_Global, kBandCount, "Number of Bands",
                  kAudioUnitParameterUnit_Indexed, 0.0f, 1.0f, 0.0f});
  return list;
}

class GraphicEq final : public EffectUnit {
 public:
  GraphicEq(AudioUnit self, const ComponentDescription &description)
      : EffectUnit(self, description, eqParameters()) {}

 protected:
  // In the 10-band layout only bands 0 to 9 exist.
  bool offersParameter(AudioUnitScope, AudioUnitParameterID id) const override {
    return id == kBandCount ||
           id < static_cast<UInt32>(bandCountOf(bandSetting_.load(std::memory_order_relaxed)));
  }
  void parameterChanged(AudioUnitScope, AudioUnitElement, AudioUnitParameterID id) override {
    if (id == kBandCount) bandSetting_.store(parameterValue(kAudioUnitScope_Global, 0, kBandSlot));
    generation_.fetch_add(1, std::memory_order_release);
  }
  Float64 tailSeconds() override;
  OSStatus prepareEffect() override;
  void resetState() override {
    for (auto &cascade : cascades_) cascade.reset();
  }
  OSStatus renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *timeStamp, UInt32,
                     UInt32 frames, AudioBufferList *ioData) override;

 private:
  static constexpr size_t kBandSlot = dsp::kMaxEqBands;  // the definition of parameter 10000
  static int bandCountOf(Float32 setting) { return setting == 1.0f ? 31 : 10; }
  // Render thread (and initialize): designs the filters for the present gains.
  void design();

  // Written by host threads (parameters); read by the render thread, which redesigns the
  // filters when the generation moved.
  std::atomic<UInt32> generation_{1};
  std::atomic<Float32> bandSetting_{0.0f};
  // Render thread only (made at initialize).
  UInt32 designed_ = 0;
  Float64 rate_ = 44100;
  std::vector<dsp::BiquadCascade> cascades_;  // one per pair of channels
};

Float64 GraphicEq::tailSeconds() {
  // The lowest band rings longest: its envelope falls 60 dB in about 6.9 time constants of
  // 2Q / w0 (longer for a boost, by the boost's amplitude ratio up to 4 for +12 dB).
  int bands = bandCountOf(bandSetting_.load());
  double q = 1 / (2 * std::sinh(0.5 * std::log(2.0) * dsp::eqBandwidthOctaves(bands)));
  return 6.91 * 2 * q * 4 / (2 * M_PI * dsp::eqBandCentres(bands)[0]);
}

OSStatus GraphicEq::prepareEffect() {
  rate_ = outputRate();
  cascades_.assign((channels() + 1) / 2, dsp::BiquadCascade());
  designed_ = 0;
  design();
  return noErr;
}

void GraphicEq::design() {
  UInt32 generation = generation_.load(std::memory_order_acquire);
  if (generation == designed_) return;
  designed_ = generation;
  int bands = bandCountOf(bandSetting_.load(std::memory_order_relaxed));
  float gains[dsp::kMaxEqBands];
  for (int b = 0; b < bands; ++b) gains[b] = parameterValue(kAudioUnitScope_Global, 0, b);
  dsp::EqFilter filters[dsp::kMaxEqBands];
  int count = dsp::designGraphicEq(bands, gains, rate_, filters);
  for (auto &cascade : cascades_) cascade.setFilters(filters, count);
}

// Render thread: no allocation, no lock, no host calls.
OSStatus GraphicEq::renderBus(AudioUnitRenderActionFlags *, const AudioTimeStamp *timeStamp, UInt32,
                              UInt32 frames, AudioBufferList *ioData) {
  if (OSStatus status = pullInputInto(0, timeStamp, frames, ioData)) return status;
  design();
  if (cascades_.empty() || cascades_[0].filterCount() == 0) return noErr;  // flat: as it came
  float *channel[kMaxChannels];
  UInt32 count = channelPointers(*ioData, channel, kMaxChannels);
  for (UInt32 c = 0; c < count; c += 2)
    cascades_[c / 2].process(channel[c], c + 1 < count ? channel[c + 1] : nullptr, frames);
  return noErr;
}

}  // namespace

AudioUnitBase *makeGraphicEq(AudioUnit self, const ComponentDescription &description) {
  return new (std::nothrow) GraphicEq(self, description);
}

}  // namespace xnq::au
