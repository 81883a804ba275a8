// The varispeed unit: plays its input faster or slower by resampling it, so pitch follows speed.
// Playback rate and playback cents are two views of one setting (rate = 2^(cents / 1200)):
// setting either moves the other. At rate 1 the input passes untouched.
#include <cmath>
#include <new>

#include "audiounit/rate_unit.h"
#include "audiounit/unit_factories.h"
#include "dsp/variable_resampler.h"

namespace xnq::au {
namespace {

enum : size_t { kRate, kCents };
constexpr Float32 kMaxRate = 4;

class Varispeed final : public RateUnit {
 public:
  Varispeed(AudioUnit self, const ComponentDescription &description)
      : RateUnit(self, description,
                 {{kAudioUnitScope_Global, kVarispeedParam_PlaybackRate, "Playback Rate",
                   kAudioUnitParameterUnit_Rate, 1 / kMaxRate, kMaxRate, 1.0f},
                  {kAudioUnitScope_Global, kVarispeedParam_PlaybackCents, "Playback Cents",
                   kAudioUnitParameterUnit_Cents, -2400.0f, 2400.0f, 0.0f}}) {}

 protected:
  bool changesRate() const override { return true; }
  void parameterChanged(AudioUnitScope scope, AudioUnitElement element,
                        AudioUnitParameterID id) override {
    if (id == kVarispeedParam_PlaybackCents) {
      Float32 cents = parameterValue(kAudioUnitScope_Global, 0, kCents);
      storeParameter(kAudioUnitScope_Global, 0, kRate, 0,
                     cents == 0 ? 1.0f : static_cast<Float32>(std::exp2(cents / 1200.0)));
    } else {
      Float32 rate = parameterValue(kAudioUnitScope_Global, 0, kRate);
      storeParameter(kAudioUnitScope_Global, 0, kCents, 0,
                     static_cast<Float32>(1200.0 * std::log2(static_cast<double>(rate))));
    }
    RateUnit::parameterChanged(scope, element, id);
  }
  // Input and output rates that differ keep the unit away from identity at every setting. They
  // may differ by up to 8 times either way (192 kHz and 24 kHz): the resampler's buffers grow
  // with the ratio, and a wider conversion is the converter unit's work.
  OSStatus prepareEffect() override {
    formatRatio_ = inputRate() / outputRate();
    if (!(formatRatio_ >= 1.0 / 8 && formatRatio_ <= 8)) return kAudioUnitErr_FormatNotSupported;
    return RateUnit::prepareEffect();
  }
  std::unique_ptr<dsp::RateEngine> makeEngine(size_t maxChunk) override {
    auto engine = std::unique_ptr<dsp::VariableResampler>(new (std::nothrow) dsp::VariableResampler(
        channels(), maxChunk, formatRatio_ / kMaxRate, kMaxRate * formatRatio_));
    if (engine == nullptr || !engine->valid()) return nullptr;
    return engine;
  }
  size_t lookAheadFrames() override {
    return dsp::VariableResampler::reach(parameterValue(kAudioUnitScope_Global, 0, kRate) *
                                         formatRatio_);
  }
  size_t crossfadeFrames() const override { return 256; }
  void currentRates(double &rate, double &pitch) override {
    rate = parameterValue(kAudioUnitScope_Global, 0, kRate) * formatRatio_;
    pitch = 1;
  }

 private:
  double formatRatio_ = 1;  // input rate over output rate, made at initialize
};

}  // namespace

AudioUnitBase *makeVarispeed(AudioUnit self, const ComponentDescription &description) {
  return new (std::nothrow) Varispeed(self, description);
}

}  // namespace xnq::au
