// Level metering of one channel: the average power (an exponential average of the squared
// samples with a 300 ms time constant) and the peak, held for a second and then falling at
// 20 dB a second; both read in dB from -120 to 0.
#pragma once

#include <cstddef>

namespace xnq::dsp {

struct ChannelMeter {
  double power = 0;
  float peak = 0;
  double holdLeft = 0;  // seconds the peak stays before it falls
};

class LevelMeter {
 public:
  void setRate(double sampleRate) { rate_ = sampleRate; }
  // Measures frames of samples scaled by gain. No allocation, no lock.
  void measure(ChannelMeter &meter, const float *samples, size_t frames, float gain) const;
  static float averageDb(const ChannelMeter &meter);
  static float peakDb(const ChannelMeter &meter);

 private:
  double rate_ = 44100;
};

// The gains of the left and right channel for a pan position from -1 (left) to 1 (right): the
// side the sound moves toward keeps unit gain and the other side falls along a quarter cosine,
// reaching silence at the end. So the centre passes the channels unchanged, and a stereo input
// pans as a balance control.
void panGains(float pan, float &left, float &right);

}  // namespace xnq::dsp
