#include "dsp/variable_resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace xnq::dsp {

VariableResampler::VariableResampler(unsigned channels, size_t maxChunk, double maxRate,
                                     double quality)
    : channels_(channels), fifoFrames_(8 * maxChunk + 16384) {
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
  soxr_quality_spec_t q = soxr_quality_spec(quality >= 0.5 ? SOXR_HQ : SOXR_MQ, SOXR_VR);
  soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  // In variable-rate mode the input rate given here is the largest ratio to be set.
  soxr_ = soxr_create(maxRate, 1, channels, &error, &io, &q, &runtime);
  if (error != nullptr) {
    soxr_delete(soxr_);
    soxr_ = nullptr;
    return;
  }
  fifo_.assign(fifoFrames_ * channels, 0.0f);
  // The resampler sizes its buffers as it goes; a run through the extremes of the ratio makes
  // them all now, on this thread, so that the render thread never does. Its input buffer grows
  // with the input it holds at once, so these feeds are twice the largest the stage makes.
  std::vector<float> silence(2 * maxChunk, 0.0f);
  std::vector<const float *> in(channels, silence.data());
  for (double rate : {maxRate, 1 / maxRate, 1.0}) {
    setRates(rate, 1);
    for (int i = 0; i < 4; ++i) {
      feed(in.data(), 2 * maxChunk);
      read_ = written_;
    }
    started_ = false;
  }
  clear();
}

VariableResampler::~VariableResampler() { soxr_delete(soxr_); }

void VariableResampler::clear() {
  stale_ = static_cast<size_t>(std::llround(soxr_delay(soxr_)));
  written_ = read_ = 0;
  started_ = false;
}

void VariableResampler::setRates(double rate, double) {
  if (rate == rate_ && started_) return;
  soxr_set_io_ratio(soxr_, rate, started_ ? kGlideFrames : 0);
  rate_ = rate;
  started_ = true;
}

size_t VariableResampler::alignmentDiscard() {
  return stale_ + static_cast<size_t>(std::llround(static_cast<double>(kPrimeFrames) / rate_));
}

size_t VariableResampler::wanted(size_t maxChunk, size_t outputNeeded) {
  double frames = std::ceil(static_cast<double>(outputNeeded) * rate_) + 16;
  return std::clamp<size_t>(static_cast<size_t>(frames), 16, maxChunk);
}

void VariableResampler::feed(const float *const *input, size_t frames) {
  const float *in[64];
  float *out[64];
  size_t used = 0;
  for (int turns = 0; used < frames && turns < 64; ++turns) {
    size_t at = static_cast<size_t>(written_ % fifoFrames_);
    size_t space = std::min(fifoFrames_ - at, fifoFrames_ - available());
    for (unsigned c = 0; c < channels_; ++c) {
      in[c] = input[c] + used;
      out[c] = fifo_.data() + c * fifoFrames_ + at;
    }
    size_t done = 0, made = 0;
    soxr_process(soxr_, in, frames - used, &done, out, space, &made);
    used += done;
    written_ += made;
  }
}

size_t VariableResampler::retrieve(float *const *output, size_t frames) {
  frames = std::min(frames, available());
  for (size_t done = 0; done < frames;) {
    size_t at = static_cast<size_t>(read_ % fifoFrames_);
    size_t run = std::min(frames - done, fifoFrames_ - at);
    for (unsigned c = 0; c < channels_; ++c)
      std::copy_n(fifo_.data() + c * fifoFrames_ + at, run, output[c] + done);
    done += run;
    read_ += run;
  }
  return frames;
}

}  // namespace xnq::dsp
