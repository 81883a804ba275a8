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

// What one slice of one channel holds: the sum of its squared samples and its largest
// magnitude. A slice measured once serves every meter that sees it through a gain.
struct SliceLevel {
  double sumOfSquares = 0;
  float peak = 0;
  size_t frames = 0;
};

// Any thread: no allocation, no lock. NaN samples do not raise the peak.
SliceLevel measureSlice(const float *samples, size_t frames);

class LevelMeter {
 public:
  void setRate(double sampleRate);
  // Moves a meter on by a slice heard through gain. No allocation, no lock; one thread at a
  // time (the meter keeps the decay factors of the last slice length).
  void update(ChannelMeter &meter, const SliceLevel &slice, float gain);
  static float averageDb(const ChannelMeter &meter);
  static float peakDb(const ChannelMeter &meter);

 private:
  double rate_ = 44100;
  // The averaging and peak-fall factors for slices of factorFrames_ frames; slices are mostly
  // of one length, so the exponentials are worked out again only when it changes.
  size_t factorFrames_ = 0;
  double keep_ = 0;
  float fall_ = 0;
};

// The gains of the left and right channel for a pan position from -1 (left) to 1 (right): the
// side the sound moves toward keeps unit gain and the other side falls along a quarter cosine,
// reaching silence at the end. So the centre passes the channels unchanged, and a stereo input
// pans as a balance control.
void panGains(float pan, float &left, float &right);

}  // namespace xnq::dsp
