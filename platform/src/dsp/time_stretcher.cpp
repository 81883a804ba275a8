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

TimeStretcher::TimeStretcher(double sampleRate, unsigned channels, size_t maxChunk,
                             int windowScale) {
  // One thread (the render thread), and the pitch path that keeps its resampler in use at every
  // pitch so a change of pitch never rebuilds it.
  RubberBandStretcher::Options options =
      RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionThreadingNever |
      RubberBandStretcher::OptionTransientsMixed | RubberBandStretcher::OptionPitchHighConsistency |
      (windowScale < 0   ? RubberBandStretcher::OptionWindowShort
       : windowScale > 0 ? RubberBandStretcher::OptionWindowLong
                         : RubberBandStretcher::OptionWindowStandard);
  stretcher_ = std::make_unique<RubberBandStretcher>(
      static_cast<size_t>(sampleRate), channels, std::make_shared<QuietLog>(), options, 1.0, 1.0);
  stretcher_->setMaxProcessSize(maxChunk);
  // Runs once through the extremes of rate and pitch so that every buffer they need exists
  // before the render thread comes: in real-time mode the stretcher then changes both without
  // allocating.
  std::vector<float> silence(maxChunk, 0.0f);
  std::vector<const float *> in(channels, silence.data());
  std::vector<float> sink(maxChunk * 4 * channels);
  std::vector<float *> out(channels);
  for (unsigned c = 0; c < channels; ++c) out[c] = sink.data() + c * maxChunk * 4;
  // The stretch inside is the time ratio times the pitch factor: 1/32 with 4 and 32 with 1/4
  // are its two ends. The pitch resampler keeps two tables (it fades from one to the next),
  // largest for the lowest ratio and a factor that no small fraction comes near: two such
  // changes at each end fill both.
  const double odd = 1 + 1.0 / 997, other = 1 - 1.0 / 991;
  const double ends[][2] = {
      {1.0 / 32, 4 * odd}, {1.0 / 32, 4 * other}, {32.0, odd / 4}, {32.0, other / 4},
      {1.0, odd},          {1.0, other},          {1.0, 1.0}};
  for (const auto &end : ends) {
    setRates(end[0], end[1]);
    for (int i = 0; i < 2; ++i) {
      stretcher_->process(in.data(), maxChunk, false);
      while (stretcher_->available() > 0)
        stretcher_->retrieve(out.data(), std::min<size_t>(stretcher_->available(), maxChunk * 4));
    }
  }
  clear();
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

void TimeStretcher::clear() { stretcher_->reset(); }

void TimeStretcher::setRates(double rate, double pitch) {
  if (rate != rate_) stretcher_->setTimeRatio(1.0 / rate);
  if (pitch != pitch_) stretcher_->setPitchScale(pitch);
  rate_ = rate;
  pitch_ = pitch;
}

size_t TimeStretcher::primeFrames() { return stretcher_->getPreferredStartPad(); }

size_t TimeStretcher::alignmentDiscard() { return stretcher_->getStartDelay(); }

size_t TimeStretcher::wanted(size_t maxChunk, size_t) {
  size_t required = stretcher_->getSamplesRequired();
  return std::clamp<size_t>(required == 0 ? 64 : required, 1, maxChunk);
}

void TimeStretcher::feed(const float *const *input, size_t frames) {
  stretcher_->process(input, frames, false);
}

size_t TimeStretcher::available() {
  int n = stretcher_->available();
  return n > 0 ? static_cast<size_t>(n) : 0;
}

size_t TimeStretcher::retrieve(float *const *output, size_t frames) {
  return stretcher_->retrieve(output, frames);
}

}  // namespace xnq::dsp
