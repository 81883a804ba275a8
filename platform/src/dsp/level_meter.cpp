#include "dsp/level_meter.h"

#include <algorithm>
#include <cmath>

namespace xnq::dsp {
namespace {

constexpr double kAverageSeconds = 0.3;
constexpr double kHoldSeconds = 1.0;
constexpr double kFallDbPerSecond = 20;
constexpr float kFloorDb = -120;

float toDb(double power) {
  if (!(power > 0)) return kFloorDb;
  return std::clamp(static_cast<float>(10 * std::log10(power)), kFloorDb, 0.0f);
}

}  // namespace

void LevelMeter::measure(ChannelMeter &meter, const float *samples, size_t frames,
                         float gain) const {
  if (frames == 0) return;
  double sum = 0;
  float peak = 0;
  for (size_t i = 0; i < frames; ++i) {
    sum += static_cast<double>(samples[i]) * samples[i];
    peak = std::max(peak, std::fabs(samples[i]));
  }
  double g = static_cast<double>(gain) * gain;
  double keep = std::exp(-static_cast<double>(frames) / (kAverageSeconds * rate_));
  meter.power = meter.power * keep + (1 - keep) * g * sum / static_cast<double>(frames);

  double seconds = static_cast<double>(frames) / rate_;
  peak *= std::fabs(gain);
  if (peak >= meter.peak) {
    meter.peak = peak;
    meter.holdLeft = kHoldSeconds;
  } else if (meter.holdLeft > 0) {
    meter.holdLeft -= seconds;
  } else {
    float fallen =
        meter.peak * static_cast<float>(std::pow(10.0, -kFallDbPerSecond * seconds / 20));
    meter.peak = std::max(peak, fallen);
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
