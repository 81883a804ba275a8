// The time-pitch units: 'nutp' (rate, pitch, overlap, peak locking) and the older 'tmpt' (rate,
// pitch, effect blend), both on the phase-vocoder stretcher. Rate and pitch change on the fly;
// at rate 1 and pitch 0 the input passes untouched (see dsp/rate_stage.h for the way in and
// out). The stretcher's own delay is made up by reading ahead, so the output is not late.
//
// Render quality (kAudioUnitProperty_RenderQuality) picks the stretcher's engine when the
// stretcher is made (see audiounit/rate_unit.h): above 64 (the default 127, which the file player
// asks for) the finer engine, which holds steady tones steady and brings notes back at their
// level after a silence, at about four times the cost; 64 and below the faster engine, whose
// phase vocoder lets a steady tone warble by a few cents and can lose level on a note that
// follows a silence.
// Overlap chooses the analysis window of the stretcher: the default 8 the engine's
// standard window (the finer engine's several windows), below 8 a short one (more time
// resolution; the finer engine then keeps to one window, at a fraction of its cost), above 8 a
// long one (steadier tones, smeared attacks; the finer engine has no long one).
// The older unit, without the parameter, takes the standard one.
// Effect blend sets how the faster engine treats transients: below 0.5 smoothly (softer
// attacks, no phase resets), from 0.5 on (the default 1) sharply above a few hundred hertz. Peak
// locking too concerns the faster engine only.
#include <cmath>
#include <new>

#include "audiounit/rate_unit.h"
#include "audiounit/unit_factories.h"
#include "dsp/time_stretcher.h"

namespace xnq::au {
namespace {

// Definition positions in both parameter lists.
enum : size_t { kRate, kPitch, kThird, kFourth };

std::vector<ParameterDefinition> timePitchParameters(bool newer) {
  std::vector<ParameterDefinition> list = {
      {kAudioUnitScope_Global, kNewTimePitchParam_Rate, "Playback Rate",
       kAudioUnitParameterUnit_Rate, 1.0f / 32, 32.0f, 1.0f},
      {kAudioUnitScope_Global, kNewTimePitchParam_Pitch, "Pitch", kAudioUnitParameterUnit_Cents,
       -2400.0f, 2400.0f, 0.0f}};
  if (newer) {
    list.push_back({kAudioUnitScope_Global, kNewTimePitchParam_Overlap, "Overlap",
                    kAudioUnitParameterUnit_Generic, 3.0f, 32.0f, 8.0f});
    list.push_back({kAudioUnitScope_Global, kNewTimePitchParam_EnablePeakLocking,
                    "Enable Peak Locking", kAudioUnitParameterUnit_Boolean, 0.0f, 1.0f, 1.0f});
  } else {
    list.push_back({kAudioUnitScope_Global, kTimePitchParam_EffectBlend, "Effect Blend",
                    kAudioUnitParameterUnit_Generic, 0.0f, 1.0f, 1.0f});
  }
  return list;
}

class TimePitch final : public RateUnit {
 public:
  TimePitch(AudioUnit self, const ComponentDescription &description)
      : RateUnit(
            self, description,
            timePitchParameters(description.componentSubType == kAudioUnitSubType_NewTimePitch)),
        newer_(description.componentSubType == kAudioUnitSubType_NewTimePitch) {}

 protected:
  std::unique_ptr<dsp::RateEngine> makeEngine(size_t maxChunk) override {
    auto engine = std::unique_ptr<dsp::TimeStretcher>(new (std::nothrow) dsp::TimeStretcher(
        outputRate(), channels(), maxChunk, window(), finer(), offline(), pitchUp()));
    if (engine == nullptr || !engine->valid()) return nullptr;
    return engine;
  }
  // Each setting the stretcher is made for: a change makes another, which takes over at the next
  // start of a stretch. Offline the stretcher runs on a worker thread of its own; for a pitch up
  // the pitch shift goes first (see dsp/time_stretcher.h).
  int engineKind() override {
    return (finer() ? 1 : 0) | (offline() ? 2 : 0) | (pitchUp() ? 4 : 0) | (window() + 1) << 3;
  }
  size_t lookAheadFrames() override {
    double rate = 1, pitch = 1;
    currentRates(rate, pitch);
    return static_cast<dsp::TimeStretcher *>(madeEngine())->lookAhead(rate, pitch);
  }
  size_t crossfadeFrames() const override { return 1024; }
  void currentRates(double &rate, double &pitch) override {
    rate = parameterValue(kAudioUnitScope_Global, 0, kRate);
    Float32 cents = parameterValue(kAudioUnitScope_Global, 0, kPitch);
    pitch = cents == 0 ? 1.0 : std::exp2(cents / 1200.0);
  }
  // Render thread: no allocation, no lock.
  void applyOptions(dsp::RateEngine &engine) override {
    dsp::TimeStretcher::Options options;
    if (newer_) {
      options.peakLocking = parameterValue(kAudioUnitScope_Global, 0, kFourth) >= 0.5f;
    } else {
      Float32 blend = parameterValue(kAudioUnitScope_Global, 0, kThird);
      options.transients = blend < 0.5f ? 0 : 1;
    }
    static_cast<dsp::TimeStretcher &>(engine).setOptions(options);
  }

 private:
  bool finer() const { return renderQuality() > 64; }
  bool pitchUp() {
    double rate = 1, pitch = 1;
    currentRates(rate, pitch);
    return pitch > 1;
  }
  int window() {
    if (!newer_) return 0;
    Float32 overlap = parameterValue(kAudioUnitScope_Global, 0, kThird);
    return overlap < 8 ? -1 : overlap == 8 ? 0 : 1;
  }

  bool newer_;
};

}  // namespace

AudioUnitBase *makeTimePitch(AudioUnit self, const ComponentDescription &description) {
  return new (std::nothrow) TimePitch(self, description);
}

}  // namespace xnq::au
