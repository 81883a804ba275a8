#include "dsp/biquad_cascade.h"

#include <immintrin.h>

#include <cstring>

namespace xnq::dsp {
namespace {

float lane(__m128 v, int i) {
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, v);
  return lanes[i];
}

// Flushes denormals to zero while a block runs: a filter ringing out into silence would
// otherwise slow to a crawl. The caller's setting comes back afterwards.
class FlushDenormals {
 public:
  FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040); }
  ~FlushDenormals() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
};

// Whether the processor and the system run AVX.
bool HasAvx() {
#if defined(__GNUC__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx");
#else
  return false;
#endif
}

}  // namespace

// Asked here, on the thread that makes the cascade, so that process asks nothing.
BiquadCascade::BiquadCascade() : wide_(HasAvx()) {
  std::memset(bandState_, 0, sizeof bandState_);
  setFilters(nullptr, 0);
}

void BiquadCascade::reset() {
  std::memset(bandState_, 0, sizeof bandState_);
  for (int v = 0; v < kMaxFilters / 2; ++v) s1_[v] = s2_[v] = y_[v] = _mm_setzero_ps();
}

void BiquadCascade::saveStates() {
  for (int s = 0; s < count_; ++s) {
    int v = s / 2, base = (s % 2) * 2;
    for (int c = 0; c < 2; ++c) {
      bandState_[band_[s]][c][0] = lane(s1_[v], base + c);
      bandState_[band_[s]][c][1] = lane(s2_[v], base + c);
    }
  }
}

void BiquadCascade::setFilters(const EqFilter *filters, int count) {
  saveStates();
  // Bands that lost their filter start from rest when they come back.
  bool kept[kMaxEqBands] = {};
  for (int s = 0; s < count; ++s) kept[filters[s].band] = true;
  for (int b = 0; b < kMaxEqBands; ++b)
    if (!kept[b]) std::memset(bandState_[b], 0, sizeof bandState_[b]);

  count_ = count;
  vectors_ = (count + 1) / 2;
  alignas(16) float a1[kMaxFilters * 2], a2[kMaxFilters * 2], c[kMaxFilters * 2];
  alignas(16) float m1[kMaxFilters * 2], s1[kMaxFilters * 2], s2[kMaxFilters * 2];
  for (int s = 0; s < kMaxFilters; ++s) {
    // A count that is odd ends with a filter that passes its input on exactly (m1 = 0).
    Bell f = s < count ? filters[s].coefficients : Bell{0, 0, 0, 0};
    if (s < count) band_[s] = filters[s].band;
    for (int ch = 0; ch < 2; ++ch) {
      int i = (s / 2) * 4 + (s % 2) * 2 + ch;
      a1[i] = static_cast<float>(f.a1);
      a2[i] = static_cast<float>(f.a2);
      c[i] = static_cast<float>(f.c);
      m1[i] = static_cast<float>(f.m1);
      s1[i] = s < count ? bandState_[band_[s]][ch][0] : 0.0f;
      s2[i] = s < count ? bandState_[band_[s]][ch][1] : 0.0f;
    }
  }
  for (int v = 0; v < kMaxFilters / 2; ++v) {
    a1_[v] = _mm_load_ps(a1 + 4 * v);
    a2_[v] = _mm_load_ps(a2 + 4 * v);
    c_[v] = _mm_load_ps(c + 4 * v);
    m1_[v] = _mm_load_ps(m1 + 4 * v);
    s1_[v] = _mm_load_ps(s1 + 4 * v);
    s2_[v] = _mm_load_ps(s2 + 4 * v);
    y_[v] = _mm_setzero_ps();
    laneFilter_[v] = _mm_setr_epi32(2 * v, 2 * v, 2 * v + 1, 2 * v + 1);
  }
}

// Step t of the pipeline: filter s takes sample t - s. Vectors run from the last down, so each
// still finds its predecessor's output of the previous step. Masked steps (the pipeline filling
// or draining) leave a filter whose sample lies outside the block untouched.
template <bool kMasked>
inline void BiquadCascade::step(size_t t, size_t frames, const float *left, const float *right,
                                float *outLeft, float *outRight) {
  __m128i first = _mm_set1_epi32(static_cast<int>(t) - static_cast<int>(frames));
  __m128i last = _mm_set1_epi32(static_cast<int>(t) + 1);
  for (int v = vectors_ - 1; v >= 0; --v) {
    __m128 x;
    if (v > 0) {
      x = _mm_shuffle_ps(y_[v - 1], y_[v], _MM_SHUFFLE(1, 0, 3, 2));
    } else {
      float l = t < frames ? left[t] : 0.0f;
      float r = t < frames && right != nullptr ? right[t] : 0.0f;
      x = _mm_shuffle_ps(_mm_setr_ps(l, r, 0, 0), y_[0], _MM_SHUFFLE(1, 0, 1, 0));
    }
    __m128 v1 = _mm_add_ps(_mm_mul_ps(a1_[v], s1_[v]), _mm_mul_ps(a2_[v], _mm_sub_ps(x, s2_[v])));
    __m128 y = _mm_add_ps(x, _mm_mul_ps(m1_[v], v1));
    __m128 s1 = _mm_sub_ps(_mm_add_ps(v1, v1), s1_[v]);
    __m128 s2 = _mm_add_ps(s2_[v], _mm_mul_ps(c_[v], v1));
    if (kMasked) {
      __m128 active = _mm_castsi128_ps(_mm_and_si128(_mm_cmpgt_epi32(last, laneFilter_[v]),
                                                     _mm_cmpgt_epi32(laneFilter_[v], first)));
      y = _mm_and_ps(active, y);
      s1 = _mm_or_ps(_mm_and_ps(active, s1), _mm_andnot_ps(active, s1_[v]));
      s2 = _mm_or_ps(_mm_and_ps(active, s2), _mm_andnot_ps(active, s2_[v]));
    }
    y_[v] = y;
    s1_[v] = s1;
    s2_[v] = s2;
  }
  size_t lastFilter = static_cast<size_t>(count_ - 1);
  if (t >= lastFilter && t - lastFilter < frames) {
    __m128 y = y_[lastFilter / 2];
    int base = static_cast<int>(lastFilter % 2) * 2;
    outLeft[t - lastFilter] = lane(y, base);
    if (outRight != nullptr) outRight[t - lastFilter] = lane(y, base + 1);
  }
}

#if defined(__GNUC__)
__attribute__((target("avx")))
#endif
void BiquadCascade::wideSteps(size_t from, size_t to, const float *left, const float *right,
                              float *outLeft, float *outRight) {
  const int wide = (vectors_ + 1) / 2;
  const float *a1 = reinterpret_cast<const float *>(a1_);
  const float *a2 = reinterpret_cast<const float *>(a2_);
  const float *c = reinterpret_cast<const float *>(c_);
  const float *m1 = reinterpret_cast<const float *>(m1_);
  float *s1 = reinterpret_cast<float *>(s1_);
  float *s2 = reinterpret_cast<float *>(s2_);
  float *y = reinterpret_cast<float *>(y_);
  const size_t lastFilter = static_cast<size_t>(count_ - 1);
  const size_t outLane = lastFilter / 2 * 4 + lastFilter % 2 * 2;
  for (size_t t = from; t < to; ++t) {
    for (int w = wide - 1; w >= 0; --w) {
      // The filters' inputs: each filter's left neighbour's output of the previous step, the
      // first filter's the new sample. [p6 p7 c0 .. c5] of the vector before and this one.
      const __m256 here = _mm256_load_ps(y + 8 * w);
      const __m256 before =
          w > 0 ? _mm256_load_ps(y + 8 * (w - 1))
                : _mm256_set_ps(right != nullptr ? right[t] : 0.0f, left[t], 0, 0, 0, 0, 0, 0);
      const __m256 x = _mm256_shuffle_ps(_mm256_permute2f128_ps(before, here, 0x21), here,
                                         _MM_SHUFFLE(1, 0, 3, 2));
      const __m256 ic1 = _mm256_load_ps(s1 + 8 * w), ic2 = _mm256_load_ps(s2 + 8 * w);
      const __m256 v1 =
          _mm256_add_ps(_mm256_mul_ps(_mm256_load_ps(a1 + 8 * w), ic1),
                        _mm256_mul_ps(_mm256_load_ps(a2 + 8 * w), _mm256_sub_ps(x, ic2)));
      _mm256_store_ps(y + 8 * w, _mm256_add_ps(x, _mm256_mul_ps(_mm256_load_ps(m1 + 8 * w), v1)));
      _mm256_store_ps(s1 + 8 * w, _mm256_sub_ps(_mm256_add_ps(v1, v1), ic1));
      _mm256_store_ps(s2 + 8 * w, _mm256_add_ps(ic2, _mm256_mul_ps(_mm256_load_ps(c + 8 * w), v1)));
    }
    outLeft[t - lastFilter] = y[outLane];
    if (outRight != nullptr) outRight[t - lastFilter] = y[outLane + 1];
  }
  _mm256_zeroupper();
}

void BiquadCascade::process(float *left, float *right, size_t frames) {
  if (count_ == 0 || frames == 0) return;
  FlushDenormals flush;
  size_t fill = static_cast<size_t>(count_ - 1);
  size_t steps = frames + fill;
  // The output of step t is sample t - fill, written after the filters read sample t, so the
  // block can be filtered in place.
  size_t t = 0;
  for (; t < fill && t < steps; ++t) step<true>(t, frames, left, right, left, right);
  if (t < frames && wide_) {
    wideSteps(t, frames, left, right, left, right);
    t = frames;
  }
  for (; t < frames; ++t) step<false>(t, frames, left, right, left, right);
  for (; t < steps; ++t) step<true>(t, frames, left, right, left, right);
}

}  // namespace xnq::dsp
