#include "dsp/variable_resampler.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace xnq::dsp {
namespace {

// The filter: a Kaiser-windowed sinc reaching kHalfWidth input frames to each side at ratios up
// to 1. Its band ends at 0.94 of the Nyquist frequency of the slower side, and with the window's
// beta of 9 it passes up to 0.88 of it flat and stops everything from there to Nyquist by about
// 90 dB.
constexpr int kHalfWidth = 48;
constexpr double kCutoff = 0.94;
constexpr double kBeta = 9;
// The filter is kept as a table of one side at kSteps points per input frame, read with linear
// interpolation (off by under a millionth); at ratios up to 1 the taps fall at the same fraction
// of a frame from every whole frame, so it is also kept as kRows rows of whole taps, one row per
// fraction.
constexpr int kSteps = 1024;
constexpr int kRows = 512;
constexpr int kRowTaps = 2 * kHalfWidth;
constexpr int kGlideFrames = 256;

double besselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; k < 50 && term > 1e-17 * sum; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
  }
  return sum;
}

// The filter at t input frames from its centre, at ratios up to 1.
double filterAt(double t) {
  if (std::fabs(t) >= kHalfWidth) return 0;
  double r = t / kHalfWidth;
  double sinc = t == 0 ? kCutoff : std::sin(M_PI * kCutoff * t) / (M_PI * t);
  return sinc * besselI0(kBeta * std::sqrt(1 - r * r)) / besselI0(kBeta);
}

struct Tables {
  std::vector<float> side;  // filterAt(i / kSteps), and two zeros past the end
  std::vector<float> rows;  // row i, tap j: filterAt(j - (kHalfWidth - 1) - i / kRows)
};

// Made once, by the first resampler made (a host thread).
const Tables &tables() {
  static const Tables made = [] {
    Tables t;
    t.side.assign(kHalfWidth * kSteps + 2, 0.0f);
    for (int i = 0; i < kHalfWidth * kSteps; ++i)
      t.side[i] = static_cast<float>(filterAt(static_cast<double>(i) / kSteps));
    t.rows.resize(static_cast<size_t>(kRows + 1) * kRowTaps);
    for (int i = 0; i <= kRows; ++i)
      for (int j = 0; j < kRowTaps; ++j)
        t.rows[static_cast<size_t>(i) * kRowTaps + j] =
            static_cast<float>(filterAt(j - (kHalfWidth - 1) - static_cast<double>(i) / kRows));
    return t;
  }();
  return made;
}

float dot(const float *a, const float *b, size_t count) {
  __m128 sum = _mm_setzero_ps();
  for (size_t i = 0; i < count; i += 4)
    sum = _mm_add_ps(sum, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, sum);
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

}  // namespace

size_t VariableResampler::reach(double rate) {
  return static_cast<size_t>(std::ceil(kHalfWidth * std::max(1.0, rate))) + 1;
}

VariableResampler::VariableResampler(unsigned channels, size_t maxChunk, double minRate,
                                     double maxRate)
    : channels_(channels), keep_(reach(maxRate) + 1) {
  tables();
  historyFrames_ = maxChunk + 3 * keep_ + 64;
  history_.assign(historyFrames_ * channels, 0.0f);
  // Room for every output a full history can make at the smallest ratio.
  fifoFrames_ = static_cast<size_t>(std::ceil(historyFrames_ / minRate)) + 8;
  fifo_.assign(fifoFrames_ * channels, 0.0f);
  taps_.assign(2 * keep_ + 8, 0.0f);
  clear();
}

VariableResampler::~VariableResampler() = default;

void VariableResampler::clear() {
  // Silence behind the start, as far back as any ratio reaches.
  std::fill(history_.begin(), history_.end(), 0.0f);
  held_ = keep_;
  whole_ = held_;
  fraction_ = 0;
  started_ = false;
  glideLeft_ = 0;
  written_ = read_ = 0;
}

void VariableResampler::setRates(double rate, double) {
  if (!started_) {
    rate_ = target_ = rate;
    started_ = true;
    return;
  }
  if (rate == target_) return;
  target_ = rate;
  glideLeft_ = kGlideFrames;
  glideStep_ = (target_ - rate_) / kGlideFrames;
}

void VariableResampler::startAfter(double frames) {
  double whole = std::floor(frames);
  whole_ = held_ + static_cast<size_t>(whole);
  fraction_ = frames - whole;
}

size_t VariableResampler::wanted(size_t maxChunk, size_t outputNeeded) {
  double rate = std::max(rate_, target_);
  double last = static_cast<double>(whole_) + fraction_ + static_cast<double>(outputNeeded) * rate +
                static_cast<double>(reach(rate));
  double needed = std::ceil(last) - static_cast<double>(held_);
  return static_cast<size_t>(std::clamp(needed, 1.0, static_cast<double>(maxChunk)));
}

bool VariableResampler::produce() {
  if (written_ - read_ == fifoFrames_) return false;
  const Tables &t = tables();
  size_t first, count;
  if (rate_ <= 1) {
    // The taps sit at whole frames around the position: a row, interpolated by the fraction.
    if (whole_ + kHalfWidth >= held_) return false;
    double at = fraction_ * kRows;
    auto row = static_cast<size_t>(at);
    __m128 f = _mm_set1_ps(static_cast<float>(at - static_cast<double>(row)));
    const float *r0 = &t.rows[row * kRowTaps], *r1 = r0 + kRowTaps;
    for (int j = 0; j < kRowTaps; j += 4) {
      __m128 a = _mm_loadu_ps(r0 + j);
      _mm_storeu_ps(&taps_[j], _mm_add_ps(a, _mm_mul_ps(f, _mm_sub_ps(_mm_loadu_ps(r1 + j), a))));
    }
    first = whole_ - (kHalfWidth - 1);
    count = kRowTaps;
  } else {
    // Faster than the input: the filter widens by the ratio and its band narrows by it.
    double scale = 1 / rate_, span = kHalfWidth * rate_;
    // Taps from lo to hi frames after whole_ - keep_ (which keeps them positive).
    auto lo = static_cast<size_t>(std::ceil(fraction_ - span + static_cast<double>(keep_)));
    auto hi = static_cast<size_t>(std::floor(fraction_ + span + static_cast<double>(keep_)));
    if (whole_ - keep_ + hi >= held_) return false;
    count = hi - lo + 1;
    // Four taps at a time: their places in the table, and the two entries around each.
    const __m128 u0 = _mm_set1_ps(static_cast<float>(
        (static_cast<double>(lo) - static_cast<double>(keep_) - fraction_) * scale * kSteps));
    const __m128 step = _mm_set1_ps(static_cast<float>(scale * kSteps));
    const __m128 gain = _mm_set1_ps(static_cast<float>(scale));
    const __m128 end = _mm_set1_ps(static_cast<float>(kHalfWidth * kSteps));
    const __m128 sign = _mm_set1_ps(-0.0f);
    __m128 j4 = _mm_setr_ps(0, 1, 2, 3);
    alignas(16) int32_t index[4];
    for (size_t j = 0; j < count; j += 4) {
      __m128 u = _mm_min_ps(_mm_andnot_ps(sign, _mm_add_ps(u0, _mm_mul_ps(j4, step))), end);
      __m128i whole4 = _mm_cvttps_epi32(u);
      __m128 frac = _mm_sub_ps(u, _mm_cvtepi32_ps(whole4));
      _mm_store_si128(reinterpret_cast<__m128i *>(index), whole4);
      const float *side = t.side.data();
      __m128 a = _mm_setr_ps(side[index[0]], side[index[1]], side[index[2]], side[index[3]]);
      __m128 b = _mm_setr_ps(side[index[0] + 1], side[index[1] + 1], side[index[2] + 1],
                             side[index[3] + 1]);
      _mm_storeu_ps(&taps_[j], _mm_mul_ps(gain, _mm_add_ps(a, _mm_mul_ps(frac, _mm_sub_ps(b, a)))));
      j4 = _mm_add_ps(j4, _mm_set1_ps(4));
    }
    for (size_t j = count; j % 4 != 0; ++j) taps_[j] = 0;
    count = (count + 3) & ~size_t{3};
    first = whole_ - keep_ + lo;
  }
  size_t at = static_cast<size_t>(written_ % fifoFrames_);
  for (unsigned c = 0; c < channels_; ++c)
    fifo_[c * fifoFrames_ + at] = dot(taps_.data(), &history_[c * historyFrames_ + first], count);
  ++written_;
  fraction_ += rate_;
  double whole = std::floor(fraction_);
  whole_ += static_cast<size_t>(whole);
  fraction_ -= whole;
  if (glideLeft_ > 0 && --glideLeft_ == 0)
    rate_ = target_;
  else if (glideLeft_ > 0)
    rate_ += glideStep_;
  return true;
}

void VariableResampler::feed(const float *const *input, size_t frames) {
  frames = std::min(frames, historyFrames_ - held_);
  for (unsigned c = 0; c < channels_; ++c)
    std::memcpy(&history_[c * historyFrames_ + held_], input[c], frames * sizeof(float));
  held_ += frames;
  while (produce()) {
  }
  // Keeps what later frames may still reach back to.
  size_t drop = whole_ > keep_ ? std::min(whole_ - keep_, held_) : 0;
  if (drop == 0) return;
  for (unsigned c = 0; c < channels_; ++c) {
    float *h = &history_[c * historyFrames_];
    std::memmove(h, h + drop, (held_ - drop) * sizeof(float));
  }
  held_ -= drop;
  whole_ -= drop;
}

size_t VariableResampler::retrieve(float *const *output, size_t frames) {
  frames = std::min(frames, available());
  for (size_t done = 0; done < frames;) {
    size_t at = static_cast<size_t>(read_ % fifoFrames_);
    size_t run = std::min(frames - done, fifoFrames_ - at);
    for (unsigned c = 0; c < channels_; ++c)
      std::copy_n(&fifo_[c * fifoFrames_ + at], run, output[c] + done);
    done += run;
    read_ += run;
  }
  return frames;
}

}  // namespace xnq::dsp
