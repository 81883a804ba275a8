// A cascade of second-order bells (see dsp/graphic_eq_design.h) over a pair of channels, run
// with SSE2. A filter's output depends on its previous state, so one filter after another on one
// channel is a chain of dependent multiply-adds. The cascade instead runs the filters as a
// pipeline: at each step, filter s works on sample t - s of both channels, so every filter of the
// cascade and both channels advance at once, four to a vector, independent of each other within
// the step. Each block is run to the end (the pipeline fills at its start and drains at its end),
// so the output has no delay. Where the processor has AVX, the steps between filling and draining
// run eight lanes to a vector (four filters of both channels): the same operations in the same
// order, so the output is the same to the bit.
#pragma once

#include <emmintrin.h>

#include <cstddef>

#include "dsp/graphic_eq_design.h"

namespace xnq::dsp {

class BiquadCascade {
 public:
  static constexpr int kMaxFilters = kMaxEqBands + 1;

  BiquadCascade();
  // Takes a new set of filters; a band that keeps its filter keeps its state, so a change of
  // gains runs on without a gap. No allocation.
  void setFilters(const EqFilter *filters, int count);
  void reset();
  int filterCount() const { return count_; }
  // Filters frames of two channels in place (right may be null for a single channel). No
  // allocation, no lock.
  void process(float *left, float *right, size_t frames);

 private:
  template <bool kMasked>
  void step(size_t t, size_t frames, const float *left, const float *right, float *outLeft,
            float *outRight);
  // Steps [from, to), none of them filling or draining, eight lanes to a vector.
  void wideSteps(size_t from, size_t to, const float *left, const float *right, float *outLeft,
                 float *outRight);
  void saveStates();

  bool wide_;  // the steady steps run eight lanes wide (the processor has AVX)
  int count_ = 0;
  int vectors_ = 0;
  int band_[kMaxFilters];  // the band of each filter
  // Per vector v, lanes: (left, filter 2v), (right, filter 2v), (left, 2v+1), (right, 2v+1).
  // Two vectors side by side are one of the eight-lane vectors; filters past the last are
  // zero, which passes the input on unchanged.
  alignas(32) __m128 a1_[kMaxFilters / 2];
  alignas(32) __m128 a2_[kMaxFilters / 2];
  alignas(32) __m128 c_[kMaxFilters / 2];
  alignas(32) __m128 m1_[kMaxFilters / 2];
  alignas(32) __m128 s1_[kMaxFilters / 2];  // the states ic1 and ic2
  alignas(32) __m128 s2_[kMaxFilters / 2];
  alignas(32) __m128 y_[kMaxFilters / 2];
  __m128i laneFilter_[kMaxFilters / 2];
  // States by band, where they wait while the set of filters changes: [band][channel][ic1, ic2].
  float bandState_[kMaxEqBands][2][2];
};

}  // namespace xnq::dsp
