#include "dsp/graphic_eq_design.h"

#include <algorithm>
#include <cmath>

namespace xnq::dsp {
namespace {

constexpr double kOctaveCentres[10] = {31.5, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
constexpr double kThirdOctaveCentres[31] = {
    20,  25,   31.5, 40,   50,   63,   80,   100,  125,  160,  200,  250,   315,   400,   500,  630,
    800, 1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

// Each band's bandwidth is the spacing of the centres, so the bands tile the spectrum.
double bandQ(int bands) {
  double spacing = bands == 10 ? 1.0 : 1.0 / 3.0;  // octaves
  double half = std::exp2(spacing / 2);
  return half / (half * half - 1);
}

// A peaking filter with gain g dB at w0 (radians per sample). Its coefficients are rounded to
// single precision, as the cascade runs them, so the solver sees the filter that will run.
Biquad peaking(double gainDb, double w0, double q) {
  double a = std::pow(10.0, gainDb / 40);
  double alpha = std::sin(w0) / (2 * q);
  double cosw = std::cos(w0);
  double a0 = 1 + alpha / a;
  auto single = [](double v) { return static_cast<double>(static_cast<float>(v)); };
  return Biquad{single((1 + alpha * a) / a0), single(-2 * cosw / a0), single((1 - alpha * a) / a0),
                single(-2 * cosw / a0), single((1 - alpha / a) / a0)};
}

double gainDbAt(const Biquad &f, double cosw, double cos2w) {
  double num = f.b0 * f.b0 + f.b1 * f.b1 + f.b2 * f.b2 + 2 * (f.b0 * f.b1 + f.b1 * f.b2) * cosw +
               2 * f.b0 * f.b2 * cos2w;
  double den = 1 + f.a1 * f.a1 + f.a2 * f.a2 + 2 * (f.a1 + f.a1 * f.a2) * cosw + 2 * f.a2 * cos2w;
  return 10 * std::log10(num / den);
}

// Solves m x = v in place (v becomes x) by Gaussian elimination with partial pivoting.
void solve(double (*m)[kMaxEqBands], double *v, int n) {
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    for (int r = col + 1; r < n; ++r)
      if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
    if (pivot != col) {
      std::swap_ranges(m[col], m[col] + n, m[pivot]);
      std::swap(v[col], v[pivot]);
    }
    if (m[col][col] == 0) continue;
    for (int r = col + 1; r < n; ++r) {
      double factor = m[r][col] / m[col][col];
      for (int c = col; c < n; ++c) m[r][c] -= factor * m[col][c];
      v[r] -= factor * v[col];
    }
  }
  for (int r = n - 1; r >= 0; --r) {
    double sum = v[r];
    for (int c = r + 1; c < n; ++c) sum -= m[r][c] * v[c];
    v[r] = m[r][r] == 0 ? 0 : sum / m[r][r];
  }
}

}  // namespace

const double *eqBandCentres(int bands) {
  return bands == 10 ? kOctaveCentres : kThirdOctaveCentres;
}

double biquadGainDb(const Biquad &filter, double frequency, double sampleRate) {
  double w = 2 * M_PI * frequency / sampleRate;
  return gainDbAt(filter, std::cos(w), std::cos(2 * w));
}

int designGraphicEq(int bands, const float *gainsDb, double sampleRate, EqFilter *out) {
  const double *centres = eqBandCentres(bands);
  int n = 0;
  while (n < bands && centres[n] < 0.49 * sampleRate) ++n;
  bool any = false;
  for (int i = 0; i < n; ++i) any = any || gainsDb[i] != 0;
  if (!any) return 0;

  double q = bandQ(bands);
  double w[kMaxEqBands], cosw[kMaxEqBands], cos2w[kMaxEqBands], gain[kMaxEqBands];
  for (int i = 0; i < n; ++i) {
    w[i] = 2 * M_PI * centres[i] / sampleRate;
    cosw[i] = std::cos(w[i]);
    cos2w[i] = std::cos(2 * w[i]);
    gain[i] = gainsDb[i];
  }
  // Newton steps on the filters' gains: the response at the centres is the sum of every
  // filter's response there, and each filter's response is close to proportional to its gain,
  // so the matrix of responses per dB of gain leads to the correction. Three or four steps bring
  // every centre within a hundredth of a dB.
  Biquad filters[kMaxEqBands];
  double shape[kMaxEqBands][kMaxEqBands], error[kMaxEqBands];
  for (int step = 0; step < 8; ++step) {
    for (int j = 0; j < n; ++j) filters[j] = peaking(gain[j], w[j], q);
    double worst = 0;
    for (int k = 0; k < n; ++k) {
      double response = 0;
      for (int j = 0; j < n; ++j) response += gainDbAt(filters[j], cosw[k], cos2w[k]);
      error[k] = gainsDb[k] - response;
      worst = std::max(worst, std::fabs(error[k]));
    }
    if (worst < 0.005) break;
    for (int j = 0; j < n; ++j) {
      double g = std::fabs(gain[j]) > 0.1 ? gain[j] : 1.0;
      Biquad probe = std::fabs(gain[j]) > 0.1 ? filters[j] : peaking(g, w[j], q);
      for (int k = 0; k < n; ++k) shape[k][j] = gainDbAt(probe, cosw[k], cos2w[k]) / g;
    }
    solve(shape, error, n);
    for (int j = 0; j < n; ++j) gain[j] = std::clamp(gain[j] + error[j], -40.0, 30.0);
  }
  int count = 0;
  for (int j = 0; j < n; ++j) {
    if (std::fabs(gain[j]) < 0.001) continue;
    out[count++] = EqFilter{j, peaking(gain[j], w[j], q)};
  }
  return count;
}

}  // namespace xnq::dsp
