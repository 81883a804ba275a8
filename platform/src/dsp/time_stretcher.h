// The time-pitch engine: the phase-vocoder stretcher in its real-time mode, where rate and pitch
// may change between any two calls, configured once for the whole range of both.
#pragma once

#include <memory>

#include "dsp/rate_stage.h"

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
  // Host thread. windowScale: -1 a short window, 0 the standard one, 1 a long one.
  TimeStretcher(double sampleRate, unsigned channels, size_t maxChunk, int windowScale);
  ~TimeStretcher() override;
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
  std::unique_ptr<RubberBand::RubberBandStretcher> stretcher_;
  Options options_;
  double rate_ = 1, pitch_ = 1;
};

}  // namespace xnq::dsp
