// The varispeed engine: a variable-rate resampler (the sample-rate converter library's
// variable-rate mode), whose ratio glides to each new value over a few milliseconds.
#pragma once

#include <vector>

#include "dsp/rate_stage.h"

struct soxr;

namespace xnq::dsp {

class VariableResampler final : public RateEngine {
 public:
  // Host thread. maxRate: the largest ratio of input to output frames the stage will ask for.
  VariableResampler(unsigned channels, size_t maxChunk, double maxRate, double quality);
  ~VariableResampler() override;
  bool valid() const { return soxr_ != nullptr; }

  void clear() override;
  void setRates(double rate, double pitch) override;
  size_t primeFrames() override { return kPrimeFrames; }
  // The resampler's output starts with its first input: what is left of earlier input and the
  // history's output are all there is to drop.
  size_t alignmentDiscard() override;
  // Output still due from input before the last clear.
  size_t staleFrames() const { return stale_; }
  size_t wanted(size_t maxChunk, size_t outputNeeded) override;
  void feed(const float *const *input, size_t frames) override;
  size_t available() override { return static_cast<size_t>(written_ - read_); }
  size_t retrieve(float *const *output, size_t frames) override;

 private:
  static constexpr size_t kPrimeFrames = 1024;
  static constexpr size_t kGlideFrames = 256;

  soxr *soxr_ = nullptr;
  unsigned channels_;
  double rate_ = 1;
  bool started_ = false;  // the first ratio after a clear applies at once
  // Output still due from input before the last clear, to be dropped: the resampler is not
  // cleared itself, as that would allocate.
  size_t stale_ = 0;
  // The resampler's output waits here until retrieved: fifoFrames_ per channel.
  std::vector<float> fifo_;
  size_t fifoFrames_;
  unsigned long long written_ = 0, read_ = 0;
};

}  // namespace xnq::dsp
