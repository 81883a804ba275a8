#include "converter/resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <numeric>

#include "os/audio_converter.h"

namespace xnq::conv {
namespace {

unsigned long recipeFor(UInt32 quality) {
  if (quality >= kAudioConverterQuality_High) return SOXR_VHQ;
  if (quality >= kAudioConverterQuality_Medium) return SOXR_HQ;
  if (quality >= kAudioConverterQuality_Low) return SOXR_MQ;
  return SOXR_LQ;
}

// Input frames in one period of the two rates: that many inputs make a whole number of
// outputs. 1 when a rate is not a whole number or the period is too long to run in.
size_t inputPeriod(Float64 inputRate, Float64 outputRate) {
  if (inputRate != std::floor(inputRate) || outputRate != std::floor(outputRate)) return 1;
  const auto in = static_cast<long long>(inputRate);
  const auto out = static_cast<long long>(outputRate);
  const long long period = in / std::gcd(in, out);
  return period > (1 << 20) ? 1 : static_cast<size_t>(period);
}

// The fewest frames a call takes: soxr's queues stay within the room they were given only for
// calls of at least this many.
constexpr UInt32 kMinInputFrames = 16;
// The samples a run-in call gives out at most (8 MB of doubles): the bound of the run-in's
// buffers, whatever the ratio.
constexpr size_t kRunInSamples = size_t{1} << 20;
// The output frames the run-in's calls of the one shape give at least, so that the queues of a
// resampler that gives a few frames a call (a large step down) have grown before it is used.
constexpr size_t kRunInOutputFrames = 4096;
// The longest period, in input frames, that a resampler allowed to allocate still runs in, and
// the silence it runs in at least: more than the widest filter reaches.
constexpr size_t kShortPeriod = 16384;
constexpr size_t kHistoryFrames = 1024;

}  // namespace

bool Resampler::supports(Float64 inputRate, Float64 outputRate, UInt32 outputFrames) {
  if (!(inputRate > 0 && outputRate > 0 && std::isfinite(inputRate) && std::isfinite(outputRate)))
    return false;
  const Float64 ratio = outputRate / inputRate;
  return ratio <= kMaxRatio && ratio >= 1 / kMaxRatio &&
         kMinInputFrames * ratio <= outputFrames / 4.0;
}

Resampler::Resampler(UInt32 channels, UInt32 inputFrames, UInt32 outputFrames)
    : channels_(channels), inputFrames_(inputFrames), outputFrames_(outputFrames) {}

Resampler::~Resampler() {
  if (soxr_ != nullptr) soxr_delete(soxr_);
}

std::unique_ptr<Resampler> Resampler::make(Float64 inputRate, Float64 outputRate, UInt32 channels,
                                           UInt32 quality, UInt32 outputFrames, bool realTime) {
  if (!supports(inputRate, outputRate, outputFrames)) return nullptr;
  // A quarter of the room for the output a block makes, so that soxr's bursts (a stage gives
  // its output a whole step at a time) fit too and it never holds output back.
  const Float64 fitting = outputFrames / 4 * inputRate / outputRate;
  const auto inputFrames =
      static_cast<UInt32>(std::clamp(fitting, Float64{kMinInputFrames}, outputFrames / 4.0));
  std::unique_ptr<Resampler> r(new (std::nothrow) Resampler(channels, inputFrames, outputFrames));
  if (r == nullptr) return nullptr;
  try {
    r->silence_.assign(size_t{inputFrames} * channels, 0.0);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  const soxr_quality_spec_t q = soxr_quality_spec(recipeFor(quality), 0);
  // One thread: the caller's, which may be a render thread.
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  r->soxr_ = soxr_create(inputRate, outputRate, channels, &error, &io, &q, &runtime);
  if (r->soxr_ == nullptr || error != nullptr) return nullptr;
  try {
    if (!r->runIn(inputRate, outputRate, realTime)) return nullptr;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return r;
}

bool Resampler::runIn(Float64 inputRate, Float64 outputRate, bool realTime) {
  const Float64 ratio = outputRate / inputRate;
  const size_t period = inputPeriod(inputRate, outputRate);
  // A resampler whose calls may allocate needs no room made in advance. It still starts with a
  // few whole periods of silence where they are short, because soxr's first outputs of a stream
  // are not quite those of a filter with silence behind it; a long period is not worth it.
  if (!realTime && period > kShortPeriod) return true;
  // Large calls first: 16384 frames (fewer for many channels, or a large step up, so that
  // neither side passes kRunInSamples) is eight times the slack soxr's queues keep before they
  // move their contents down instead of growing.
  // Without them (not real time), only the calls of the one shape below: no larger buffers.
  const size_t large =
      realTime ? std::clamp<size_t>(
                     static_cast<size_t>(kRunInSamples / (channels_ * std::max(1.0, ratio))),
                     inputFrames_, 16384)
               : inputFrames_;
  const auto largeOut = static_cast<size_t>(large * ratio) + outputFrames_;
  std::vector<double> in(large * channels_, 0.0), out(largeOut * channels_);
  size_t fed = 0;
  size_t got = 0;
  for (int k = 0; k < (realTime ? 3 : 0); ++k) {
    size_t used = 0;
    size_t made = 0;
    if (soxr_process(soxr_, in.data(), large, &used, out.data(), largeOut, &made)) return false;
    fed += used;
    got += made;
  }
  // Then calls of the one shape, up to a whole number of periods.
  // (Only enough silence to fill the filter's history, where the queues need not grow.)
  const size_t shaped = realTime ? std::max<size_t>(size_t{inputFrames_} * 32,
                                                    static_cast<size_t>(kRunInOutputFrames / ratio))
                                 : kHistoryFrames;
  const size_t frames = (fed + shaped + period - 1) / period * period;
  while (fed < frames) {
    size_t used = 0;
    size_t made = 0;
    const size_t block = std::min<size_t>(inputFrames_, frames - fed);
    if (soxr_process(soxr_, in.data(), block, &used, out.data(), outputFrames_, &made))
      return false;
    fed += used;
    got += made;
  }
  const auto owed = static_cast<size_t>(std::llround(fed * outputRate / inputRate));
  discard_ = owed > got ? owed - got : 0;
  reach_ = static_cast<UInt32>(std::ceil(discard_ * inputRate / outputRate));
  return true;
}

bool Resampler::process(const double *input, double *output, size_t &made) {
  made = 0;
  size_t used = 0;
  if (soxr_process(soxr_, input != nullptr ? input : silence_.data(), inputFrames_, &used, output,
                   outputFrames_, &made) != nullptr ||
      used != inputFrames_)
    return false;
  if (discard_ > 0 && made > 0) {
    const size_t dropped = made < discard_ ? made : discard_;
    std::memmove(output, output + dropped * channels_,
                 (made - dropped) * channels_ * sizeof(double));
    made -= dropped;
    discard_ -= dropped;
  }
  return true;
}

}  // namespace xnq::conv
