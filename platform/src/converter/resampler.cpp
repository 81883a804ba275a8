#include "converter/resampler.h"

#include <soxr.h>

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

}  // namespace

Resampler::Resampler(UInt32 channels, UInt32 blockFrames)
    : channels_(channels), blockFrames_(blockFrames) {}

Resampler::~Resampler() {
  if (soxr_ != nullptr) soxr_delete(soxr_);
}

std::unique_ptr<Resampler> Resampler::make(Float64 inputRate, Float64 outputRate, UInt32 channels,
                                           UInt32 quality, UInt32 blockFrames) {
  std::unique_ptr<Resampler> r(new (std::nothrow) Resampler(channels, blockFrames));
  if (r == nullptr) return nullptr;
  try {
    r->silence_.assign(size_t{blockFrames} * channels, 0.0);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  const soxr_quality_spec_t q = soxr_quality_spec(recipeFor(quality), 0);
  // One thread: the caller's, which may be a render thread.
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  r->soxr_ = soxr_create(inputRate, outputRate, channels, &error, &io, &q, &runtime);
  if (r->soxr_ == nullptr || error != nullptr || !r->runIn(inputRate, outputRate)) return nullptr;
  return r;
}

bool Resampler::runIn(Float64 inputRate, Float64 outputRate) {
  const size_t period = inputPeriod(inputRate, outputRate);
  const size_t least = size_t{blockFrames_} * 8;
  const size_t frames = (least + period - 1) / period * period;
  std::vector<double> out(size_t{blockFrames_} * channels_);
  size_t fed = 0;
  size_t got = 0;
  while (fed < frames) {
    size_t used = 0;
    size_t made = 0;
    const size_t block = frames - fed < blockFrames_ ? frames - fed : blockFrames_;
    if (soxr_process(soxr_, silence_.data(), block, &used, out.data(), blockFrames_, &made))
      return false;
    fed += used;
    got += made;
    // Take what it holds, as a converter whose caller asks for little output would.
    while (made > 0) {
      if (soxr_process(soxr_, silence_.data(), 0, &used, out.data(), blockFrames_, &made))
        return false;
      got += made;
    }
  }
  const auto owed = static_cast<size_t>(std::llround(fed * outputRate / inputRate));
  discard_ = owed > got ? owed - got : 0;
  reach_ = static_cast<UInt32>(std::ceil(discard_ * inputRate / outputRate));
  return true;
}

bool Resampler::process(const double *input, size_t inputFrames, size_t &used, double *output,
                        size_t &made) {
  used = 0;
  made = 0;
  if (input == nullptr) {
    input = silence_.data();
    inputFrames = blockFrames_;
  }
  if (inputFrames > blockFrames_) inputFrames = blockFrames_;
  if (soxr_process(soxr_, input, inputFrames, &used, output, blockFrames_, &made) != nullptr)
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
