#include "dsp/time_stretcher.h"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>

namespace xnq::dsp {

using RubberBand::RubberBandStretcher;

namespace {

// The stretcher reports on standard error that it allocates when the warm-up below takes it to
// the ends of its range; that is the purpose of the warm-up, not news for a user of the platform.
struct QuietLog final : RubberBandStretcher::Logger {
  void log(const char *) override {}
  void log(const char *, double) override {}
  void log(const char *, double, double) override {}
};

}  // namespace

TimeStretcher::TimeStretcher(double sampleRate, unsigned channels, size_t maxChunk, int windowScale,
                             bool finer)
    : pitcher_(channels, maxChunk, 1 / kMaxPitch, kMaxPitch),
      channels_(channels),
      maxChunk_(maxChunk),
      between_(maxChunk * channels) {
  // One thread (the render thread), at pitch 1 throughout: the resampler after it shifts pitch.
  RubberBandStretcher::Options options =
      RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionThreadingNever |
      RubberBandStretcher::OptionTransientsMixed |
      (finer ? RubberBandStretcher::OptionEngineFiner : RubberBandStretcher::OptionEngineFaster) |
      (windowScale < 0   ? RubberBandStretcher::OptionWindowShort
       : windowScale > 0 ? RubberBandStretcher::OptionWindowLong
                         : RubberBandStretcher::OptionWindowStandard);
  stretcher_ = std::make_unique<RubberBandStretcher>(
      static_cast<size_t>(sampleRate), channels, std::make_shared<QuietLog>(), options, 1.0, 1.0);
  stretcher_->setMaxProcessSize(maxChunk);
  // Runs once through the extremes of the stretch so that every buffer they need exists before
  // the render thread comes: in real-time mode the stretcher then changes it without allocating.
  // The stretch is pitch over rate: 32 x 4 the longest, its inverse the shortest.
  std::vector<float> silence(maxChunk, 0.0f);
  std::vector<const float *> in(channels, silence.data());
  std::vector<float *> out(channels);
  for (unsigned c = 0; c < channels; ++c) out[c] = between_.data() + c * maxChunk;
  for (double ratio : {32 * kMaxPitch, 1 / (32 * kMaxPitch), 1.0}) {
    stretcher_->setTimeRatio(ratio);
    for (int i = 0; i < 2; ++i) {
      stretcher_->process(in.data(), maxChunk, false);
      while (stretcher_->available() > 0)
        stretcher_->retrieve(out.data(), std::min<size_t>(stretcher_->available(), maxChunk));
    }
  }
  clear();
  startPad_ = stretcher_->getPreferredStartPad();
}

TimeStretcher::~TimeStretcher() = default;

void TimeStretcher::setOptions(const Options &options) {
  if (options.peakLocking != options_.peakLocking)
    stretcher_->setPhaseOption(options.peakLocking ? RubberBandStretcher::OptionPhaseLaminar
                                                   : RubberBandStretcher::OptionPhaseIndependent);
  if (options.transients != options_.transients)
    stretcher_->setTransientsOption(options.transients == 0
                                        ? RubberBandStretcher::OptionTransientsSmooth
                                        : RubberBandStretcher::OptionTransientsMixed);
  options_ = options;
}

void TimeStretcher::clear() {
  stretcher_->reset();
  pitcher_.clear();
  skip_ = 0;
}

void TimeStretcher::setRates(double rate, double pitch) {
  if (rate != rate_ || pitch != pitch_) stretcher_->setTimeRatio(pitch / rate);
  pitcher_.setRates(pitch, 1);
  rate_ = rate;
  pitch_ = pitch;
}

size_t TimeStretcher::primeFrames() { return stretcher_->getPreferredStartPad(); }

// The stretcher's output is in step with its input from its start delay on; the pitcher starts
// there, with the stretcher's output just before it as the history its filter reaches into.
size_t TimeStretcher::alignmentDiscard() {
  size_t delay = stretcher_->getStartDelay(), history = pitcher_.primeFrames();
  skip_ = delay > history ? delay - history : 0;
  if (history > delay) {
    const float *zeros[64];
    std::fill(between_.begin(), between_.begin() + static_cast<std::ptrdiff_t>(maxChunk_), 0.0f);
    for (unsigned c = 0; c < channels_; ++c) zeros[c] = between_.data();
    pitcher_.feed(zeros, history - delay);
  }
  return 0;
}

size_t TimeStretcher::wanted(size_t maxChunk, size_t) {
  size_t required = stretcher_->getSamplesRequired();
  return std::clamp<size_t>(required == 0 ? 64 : required, 1, maxChunk);
}

void TimeStretcher::feed(const float *const *input, size_t frames) {
  stretcher_->process(input, frames, false);
}

// Moves the stretcher's output through the resampler until some comes out, a chunk at a time so
// that the resampler's buffer never holds more than its warm-up sized.
size_t TimeStretcher::available() {
  float *chunk[64];
  while (pitcher_.available() == 0) {
    int ready = stretcher_->available();
    if (ready <= 0) break;
    for (unsigned c = 0; c < channels_; ++c) chunk[c] = between_.data() + c * maxChunk_;
    size_t got =
        stretcher_->retrieve(chunk, std::min<size_t>(static_cast<size_t>(ready), maxChunk_));
    size_t drop = std::min(skip_, got);
    skip_ -= drop;
    if (got == drop) continue;
    for (unsigned c = 0; c < channels_; ++c) chunk[c] += drop;
    pitcher_.feed(chunk, got - drop);
  }
  return pitcher_.available();
}

size_t TimeStretcher::retrieve(float *const *output, size_t frames) {
  return pitcher_.retrieve(output, frames);
}

}  // namespace xnq::dsp
