#include "dsp/level_meter.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xnq::dsp {
namespace {

constexpr double kAverageSeconds = 0.3;
constexpr double kHoldSeconds = 1.0;
constexpr double kFallDbPerSecond = 20;
constexpr float kFloorDb = -120;
// Samples summed in float lanes before the lanes join the double total: few enough that each
// lane's sum keeps about six significant digits (the meters need 0.1 dB, about 2 %), many
// enough that the double additions cost nothing.
constexpr size_t kLaneRun = 1024;

float toDb(double power) {
  if (!(power > 0)) return kFloorDb;
  return std::clamp(static_cast<float>(10 * std::log10(power)), kFloorDb, 0.0f);
}

}  // namespace

SliceLevel measureSlice(const float *samples, size_t frames) {
  double total = 0;
  float peak = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 peaks = _mm_setzero_ps();
  while (frames - i >= 8) {
    const size_t end = i + std::min(kLaneRun, (frames - i) & ~size_t{7});
    // Two sums, so that consecutive additions do not wait for each other.
    __m128 a = _mm_setzero_ps();
    __m128 b = _mm_setzero_ps();
    for (; i < end; i += 8) {
      const __m128 x = _mm_loadu_ps(samples + i);
      const __m128 y = _mm_loadu_ps(samples + i + 4);
      a = _mm_add_ps(a, _mm_mul_ps(x, x));
      b = _mm_add_ps(b, _mm_mul_ps(y, y));
      // max(|x|, peaks) gives peaks where x is NaN, as std::max below does.
      peaks = _mm_max_ps(_mm_and_ps(x, magnitude), peaks);
      peaks = _mm_max_ps(_mm_and_ps(y, magnitude), peaks);
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, _mm_add_ps(a, b));
    for (float lane : lanes) total += lane;
  }
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, peaks);
  for (float lane : lanes) peak = std::max(peak, lane);
#endif
  for (; i < frames; ++i) {
    total += static_cast<double>(samples[i]) * samples[i];
    peak = std::max(peak, std::fabs(samples[i]));
  }
  return {total, peak, frames};
}

void LevelMeter::setRate(double sampleRate) {
  rate_ = sampleRate;
  factorFrames_ = 0;
}

void LevelMeter::update(ChannelMeter &meter, const SliceLevel &slice, float gain) {
  if (slice.frames == 0) return;
  const double seconds = static_cast<double>(slice.frames) / rate_;
  if (slice.frames != factorFrames_) {
    factorFrames_ = slice.frames;
    keep_ = std::exp(-seconds / kAverageSeconds);
    fall_ = static_cast<float>(std::pow(10.0, -kFallDbPerSecond * seconds / 20));
  }
  const double g = static_cast<double>(gain) * gain;
  meter.power = meter.power * keep_ +
                (1 - keep_) * g * slice.sumOfSquares / static_cast<double>(slice.frames);

  const float peak = slice.peak * std::fabs(gain);
  if (peak >= meter.peak) {
    meter.peak = peak;
    meter.holdLeft = kHoldSeconds;
  } else if (meter.holdLeft > 0) {
    meter.holdLeft -= seconds;
  } else {
    meter.peak = std::max(peak, meter.peak * fall_);
  }
}

float LevelMeter::averageDb(const ChannelMeter &meter) { return toDb(meter.power); }

float LevelMeter::peakDb(const ChannelMeter &meter) {
  return toDb(static_cast<double>(meter.peak) * meter.peak);
}

void panGains(float pan, float &left, float &right) {
  float away = std::fabs(pan) >= 1 ? 0.0f : std::cos(std::fabs(pan) * static_cast<float>(M_PI_2));
  left = pan > 0 ? away : 1.0f;
  right = pan < 0 ? away : 1.0f;
}

}  // namespace xnq::dsp
