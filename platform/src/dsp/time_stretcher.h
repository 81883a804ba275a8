// The time-pitch engine: the phase-vocoder stretcher in its real-time mode, which changes the
// length, followed by the variable-rate resampler, which changes the pitch. The stretcher makes
// the sound pitch times as long as the rate asks and the resampler plays it pitch times faster.
// Rate and pitch may change between any two calls.
//
// The stretcher could shift the pitch itself, but its resampler for pitches that change on the
// fly works out its filter for every sample, close to half of all the work; the variable-rate
// resampler does the same job in a fraction of that.
#pragma once

#include <memory>
#include <vector>

#include "dsp/rate_stage.h"
#include "dsp/variable_resampler.h"

namespace RubberBand {
class RubberBandStretcher;
}

namespace xnq::dsp {

class TimeStretcher final : public RateEngine {
 public:
  struct Options {
    bool peakLocking = true;  // phases of the bins around a peak move together
    // Transients: 0 smooth; 1 sharp above a few hundred hertz only, which keeps steady tones at
    // their exact frequency (sharp transients everywhere make them waver by several cents).
    int transients = 1;
  };
  // Host thread. windowScale: -1 a short window, 0 the standard one, 1 a long one. finer: the
  // stretcher's finer engine instead of its faster one. valid() is false when the resampler
  // could not be made.
  TimeStretcher(double sampleRate, unsigned channels, size_t maxChunk, int windowScale, bool finer);
  ~TimeStretcher() override;
  bool valid() const { return pitcher_.valid(); }
  // Any thread: the input the stretcher reads ahead of what it plays, in input frames.
  size_t startPad() const { return startPad_; }
  // Render thread: applies the options that changed.
  void setOptions(const Options &options);

  void clear() override;
  void setRates(double rate, double pitch) override;
  size_t primeFrames() override;
  size_t alignmentDiscard() override;
  size_t wanted(size_t maxChunk, size_t outputNeeded) override;
  void feed(const float *const *input, size_t frames) override;
  size_t available() override;
  size_t retrieve(float *const *output, size_t frames) override;

 private:
  static constexpr double kMaxPitch = 4;

  std::unique_ptr<RubberBand::RubberBandStretcher> stretcher_;
  VariableResampler pitcher_;
  unsigned channels_;
  size_t maxChunk_;
  // The stretcher's output on its way to the resampler: maxChunk_ frames per channel.
  std::vector<float> between_;
  // Stretcher output still to drop after a start (its own delay), so the resampler begins in
  // step with the input.
  size_t skip_ = 0;
  Options options_;
  double rate_ = 1, pitch_ = 1;
  size_t startPad_ = 0;
};

}  // namespace xnq::dsp
